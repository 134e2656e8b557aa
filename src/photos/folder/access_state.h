#pragma once

#include <string>
#include <string_view>

namespace shotsieve::folder {

// A status value outside the table, reported as "unknown".
inline constexpr int kUnreadableAccessState = -1;

// The recorded grant: 0 when there is no file, the value of a status word or
// a number as it stands, kUnreadableAccessState for anything else.
int readAccessState(const std::string& path);

// Records a status word; false when it could not be written.
bool writeAccessState(const std::string& path, int status);

}  // namespace shotsieve::folder
