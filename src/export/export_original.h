#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "export/export_directory.h"
#include "export/export_names.h"
#include "photos/photo_library.h"

namespace shotsieve {

struct ExportResult {
  std::optional<std::string> path;  // present only when the original lies there now
  std::string filename;             // the chosen resource's original name; empty without resources
};

// How long one export waits for the library's write.
inline constexpr std::chrono::milliseconds kExportTimeout = std::chrono::seconds(60);

// Copies the asset's original into the export directory as UUID.EXT, or
// reuses the copy already there while it holds the original's content;
// either way its modification time becomes now. A link, a special file, a
// file of another user or a stale copy under that name is never served: it is
// replaced by a fresh copy. Each write goes to a temporary ".part" file of its
// own, checked and moved into place in one step; a folder under the name, an
// unusable directory, a failed write or one that does not finish within
// `timeout` gives no path (a write that finishes later removes its own
// ".part" file). Never throws; failure shows only as an absent path.
ExportResult exportOriginal(PhotoLibrary& library, const Asset& asset, const ExportDirectory& toDir,
                            NetworkAccess networkAccess = NetworkAccess::allowed,
                            std::chrono::milliseconds timeout = kExportTimeout);

// The same into a directory by path, as it is (nothing is created or tagged).
ExportResult exportOriginal(PhotoLibrary& library, const Asset& asset, const std::string& toDir,
                            NetworkAccess networkAccess = NetworkAccess::allowed,
                            std::chrono::milliseconds timeout = kExportTimeout);

}  // namespace shotsieve
