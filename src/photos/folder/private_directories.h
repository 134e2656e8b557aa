#pragma once

#include <string>

namespace shotsieve::folder {

// Creates the missing folders above a file path, private to the user (0700),
// as the library's state and cache folders should be. False on failure.
bool makePrivateParentDirectories(const std::string& filePath);

}  // namespace shotsieve::folder
