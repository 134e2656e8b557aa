#include "photos/folder/watch/inotify_instance.h"

#include <climits>
#include <unistd.h>

#include <cerrno>

namespace shotsieve::folder {

std::unique_ptr<InotifyInstance> InotifyInstance::open() {
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) return nullptr;
  return std::unique_ptr<InotifyInstance>(new InotifyInstance(std::move(fd)));
}

int InotifyInstance::addFolder(int folderFd, std::uint32_t mask) {
  // The descriptor's own name in /proc leads to the folder it holds, however
  // long its path and whatever links now lie on it.
  return addPath("/proc/self/fd/" + std::to_string(folderFd), mask);
}

int InotifyInstance::addPath(const std::string& path, std::uint32_t mask) {
  return ::inotify_add_watch(fd_.get(), path.c_str(), mask);
}

void InotifyInstance::remove(int watch) { ::inotify_rm_watch(fd_.get(), watch); }

void InotifyInstance::drain(const std::function<void(const inotify_event&)>& handle) {
  char* const buffer = buffer_.get();  // new[]'s alignment suits inotify_event
  for (int reads = 0; reads < 64; ++reads) {  // bounded, so that a flood cannot hold the loop
    const ssize_t got = ::read(fd_.get(), buffer, kReadBytes);
    if (got <= 0) return;
    // Room left for the longest event: the queue was empty. Asking again would only say so.
    const bool emptied = static_cast<std::size_t>(got) <= kReadBytes - (sizeof(inotify_event) + NAME_MAX + 1);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      handle(*event);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (emptied) return;
  }
}

}  // namespace shotsieve::folder
