#pragma once

#include <string>

namespace shotsieve::folder {

// Opens an absolute path for reading when no component of it is a symbolic
// link, so that a link planted after the path was checked cannot lead the
// read elsewhere. Returns the descriptor, or -1 with errno set (ELOOP for a
// link). Kernels without openat2 get O_NOFOLLOW, which guards the last
// component.
int openWithoutLinks(const std::string& path);

}  // namespace shotsieve::folder
