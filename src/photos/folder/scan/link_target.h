#pragma once

#include <optional>
#include <string>

#include "photos/unique_fd.h"

namespace shotsieve::folder {

// The library root with every link in it resolved, or empty when it does not
// exist or lies in /proc, /sys or /dev. Paths built on it have no link above the file itself.
std::string resolvedLibraryRoot(const std::string& root);

// Where a path leads, fully resolved, when that is a regular file inside the
// resolved root; nothing for a path that leaves the root, dangles or loops.
// A symbolic link in a Pictures folder may come from a synced folder or an
// unpacked archive, so it is only followed as far as the root allows.
std::optional<std::string> resolvedFileInside(const std::string& resolvedRoot, const std::string& path);

// Opens for reading the regular file a path inside the resolved root leads
// to, as resolvedFileInside allows, without following any link once the path
// is checked. A path longer than PATH_MAX is opened one folder at a time
// from the root, and may then hold no link at all. An empty handle when the
// path leads anywhere else.
UniqueFd openFileInside(const std::string& resolvedRoot, const std::string& path);

}  // namespace shotsieve::folder
