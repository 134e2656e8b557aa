#pragma once

#include <optional>
#include <string>

#include "photos/photo_library.h"

namespace shotsieve::folder {

// Copies `source` to a new file at `destination`: exclusive creation, a
// reflink where the file system offers one, else copy_file_range, else
// read/write; the data is synced before success. On failure no destination
// file is left and the error text is returned. A source on a network or
// user-space file system is refused when network access is not allowed.
std::optional<std::string> copyResourceFile(const std::string& source, const std::string& destination,
                                             NetworkAccess networkAccess);

}  // namespace shotsieve::folder
