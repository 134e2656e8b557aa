#include "photos/no_link_open.h"

#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace shotsieve {

namespace {

int openat2WithFallback(int folderFd, const char* path, int flags, mode_t mode, unsigned long long resolve) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = resolve;
  const long fd = ::syscall(SYS_openat2, folderFd, path, &how, sizeof how);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
  return ::openat(folderFd, path, flags | O_NOFOLLOW, mode);  // EPERM: a seccomp filter that does not know openat2
}

}  // namespace

int openWithoutLinks(const std::string& path) {
  // O_NONBLOCK: a FIFO planted under an image name must not block the open.
  return openat2WithFallback(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0,
                             RESOLVE_NO_SYMLINKS);
}

UniqueFd openBeneath(int folderFd, const std::string& name, int flags, mode_t mode) {
  return UniqueFd(openat2WithFallback(folderFd, name.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, mode,
                                      RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS));
}

}  // namespace shotsieve
