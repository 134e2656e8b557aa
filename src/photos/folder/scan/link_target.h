#pragma once

#include <optional>
#include <string>

namespace shotsieve::folder {

// The library root with every link in it resolved, or empty when it does not
// exist. Paths built on it have no link above the file itself.
std::string resolvedLibraryRoot(const std::string& root);

// Where a path leads, fully resolved, when that is a regular file inside the
// resolved root; nothing for a path that leaves the root, dangles or loops.
// A symbolic link in a Pictures folder may come from a synced folder or an
// unpacked archive, so it is only followed as far as the root allows.
std::optional<std::string> resolvedFileInside(const std::string& resolvedRoot, const std::string& path);

}  // namespace shotsieve::folder
