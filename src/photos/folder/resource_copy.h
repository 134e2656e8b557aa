#pragma once

#include <optional>
#include <string>

#include "photos/photo_library.h"

namespace shotsieve::folder {

// Copies `source` to a new file at `destination`, private to the user
// (0600): exclusive creation, a reflink where the file system offers one, else
// copy_file_range, else read/write; the data is synced before success. The
// source is resolved again and must still lead to a regular file inside the
// library root, and it is opened without following any link, so a link
// planted after the fetch cannot copy a file from elsewhere. The copy counts
// only when the source did not change while it was copied and the copy is
// complete in itself (an image whose structure reaches its end, or a video):
// a file still being written is not passed off as the whole. On failure no
// destination file is left and the error text is returned. A source on a
// network or user-space file system is refused when network access is not
// allowed.
std::optional<std::string> copyResourceFile(const std::string& libraryRoot, const std::string& source,
                                            const std::string& destination, NetworkAccess networkAccess);

}  // namespace shotsieve::folder
