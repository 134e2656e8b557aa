#pragma once

#include <fcntl.h>

#include <string>

#include "photos/unique_fd.h"

namespace shotsieve {

// Opens an absolute path for reading when no component of it is a symbolic
// link, so that a link planted after the path was checked cannot lead the
// read elsewhere. Returns the descriptor, or -1 with errno set (ELOOP for a
// link). Kernels without openat2 get O_NOFOLLOW, which guards the last
// component.
int openWithoutLinks(const std::string& path);

// Opens `name` inside the folder `folderFd` without following any link and
// without leaving the folder: `flags` as for openat (O_CLOEXEC, O_NOCTTY and
// O_NOFOLLOW are added). Kernels without openat2 get O_NOFOLLOW, which
// guards the name's last component. A name longer than PATH_MAX is opened one
// folder at a time. An empty handle with errno set on failure.
UniqueFd openBeneath(int folderFd, const std::string& name, int flags, mode_t mode = 0);

}  // namespace shotsieve
