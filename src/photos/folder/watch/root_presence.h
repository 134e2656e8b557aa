#pragma once

#include <string>

namespace shotsieve::folder {

// The library root as the watcher can use it: the folder it resolves to, or
// empty while there is none (missing, a file, or a link that leads outside
// the home folder when the root itself lies inside it).
std::string usableLibraryRoot(const std::string& configuredRoot, const std::string& home);

// The nearest folder above a missing root that exists, to wait in for the
// folders on the way down to appear; "/" at the last.
std::string nearestExistingAncestor(const std::string& configuredRoot);

// The folder that holds a path ("/" for a path directly below it).
std::string parentFolder(const std::string& path);

}  // namespace shotsieve::folder
