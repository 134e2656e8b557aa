#include "photos/no_link_open.h"

#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <limits.h>

#include <cerrno>
#include <string_view>

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
  if (name.size() < PATH_MAX) {
    return UniqueFd(openat2WithFallback(folderFd, name.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, mode,
                                        RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS));
  }
  // Too long to name in one call: one folder at a time, none of them a link or a way up.
  UniqueFd folder;
  std::string_view rest = name;
  int at = folderFd;
  for (auto slash = rest.find('/'); slash != std::string_view::npos; slash = rest.find('/')) {
    const std::string component(rest.substr(0, slash));
    rest.remove_prefix(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      errno = EXDEV;
      return UniqueFd();
    }
    folder.reset(::openat(at, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return UniqueFd();
    at = folder.get();
  }
  if (rest == "..") {
    errno = EXDEV;
    return UniqueFd();
  }
  return openBeneath(at, std::string(rest), flags, mode);
}

}  // namespace shotsieve
