#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "photos/photo_library.h"

namespace shotsieve {

struct ExportResult {
  std::optional<std::string> path;  // present only when the original lies there now
  std::string filename;             // the chosen resource's original name; empty without resources
};

// How long one export waits for the library's write.
inline constexpr std::chrono::milliseconds kExportTimeout = std::chrono::seconds(60);

// The destination's extension: the text after the last "." of the name's last
// component, lower-cased by the full Unicode rules; "png" when empty.
std::string exportExtension(std::string_view originalFilename);

// Copies the asset's original into `toDir` as UUID.EXT, or reuses the file
// already there; either way its modification time becomes now. Each write goes
// to a temporary ".part" file of its own and is moved into place without ever
// replacing a file. Blocks until the write completes or `timeout` passes.
// Never throws; failure shows only as an absent path.
ExportResult exportOriginal(PhotoLibrary& library, const Asset& asset, const std::string& toDir,
                            NetworkAccess networkAccess = NetworkAccess::allowed,
                            std::chrono::milliseconds timeout = kExportTimeout);

}  // namespace shotsieve
