#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "photos/folder/metadata/index_file.h"

namespace shotsieve::folder {

// The identifier a file gets when it is first seen: the upper-case
// name-based (version 5) UUID of its path relative to the library root and
// its birth time in nanoseconds (its modification time where there is none),
// so a file replaced at the same path gets a new one. Attempt 1, 2 ... give
// other UUIDs of the same file, for when the first belongs to another file.
Uuid firstSeenUuid(std::string_view relativePath, std::int64_t birthTimeNanoseconds, int attempt = 0);

// "UUID/L0/001".
std::string localIdentifierOf(const Uuid& uuid);

// The two together: the identifier a file first seen gets.
std::string assetLocalIdentifier(std::string_view relativePath, std::int64_t birthTimeNanoseconds);

}  // namespace shotsieve::folder
