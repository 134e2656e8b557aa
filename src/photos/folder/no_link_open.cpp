#include "photos/folder/no_link_open.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace shotsieve::folder {

int openWithoutLinks(const std::string& path) {
  // O_NONBLOCK: a FIFO planted under an image name must not block the open.
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  open_how how{};
  how.flags = kFlags;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
  return ::open(path.c_str(), kFlags | O_NOFOLLOW);  // EPERM: a seccomp filter that does not know openat2
}

}  // namespace shotsieve::folder
