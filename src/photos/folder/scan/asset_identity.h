#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace shotsieve::folder {

// "UUID/L0/001": UUID is the upper-case name-based (version 5) UUID of the
// path relative to the library root and the file's birth time in nanoseconds,
// so a file replaced at the same path gets a new identifier.
std::string assetLocalIdentifier(std::string_view relativePath, std::int64_t birthTimeNanoseconds);

}  // namespace shotsieve::folder
