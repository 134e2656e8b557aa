#pragma once

#include <sys/eventfd.h>

#include <cerrno>
#include <system_error>

#include "photos/unique_fd.h"

namespace shotsieve::folder {

// An eventfd that wakes the watcher's poll. Without one its wake-up would
// never come (a watcher that cannot be stopped, new files never handed on),
// so a watch that cannot have one does not start: short of descriptors, it
// says so instead of hanging or going blind.
inline UniqueFd wakeDescriptor() {
  UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) throw std::system_error(errno, std::generic_category(), "cannot watch the library");
  return fd;
}

}  // namespace shotsieve::folder
