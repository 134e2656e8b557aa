#pragma once

#include <sys/inotify.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "photos/unique_fd.h"

namespace shotsieve::folder {

// One inotify instance, shared by the watches on the library's folders and on
// the folders around it. A user may have none left to give
// (fs.inotify.max_user_instances): open() then says why, and the watcher
// polls instead.
class InotifyInstance {
 public:
  // Nothing, with errno set, when no instance can be had.
  static std::unique_ptr<InotifyInstance> open();

  int descriptor() const { return fd_.get(); }
  // Watches the folder open as `folderFd`, reached through its handle, so a
  // path cannot lead the watch elsewhere. The watch descriptor, or -1 with errno.
  int addFolder(int folderFd, std::uint32_t mask);
  // Watches a path, as it is now (folders outside the library).
  int addPath(const std::string& path, std::uint32_t mask);
  void remove(int watch);
  // Reads what is queued, a bounded amount, and hands each event on.
  void drain(const std::function<void(const inotify_event&)>& handle);

 private:
  explicit InotifyInstance(UniqueFd fd) : fd_(std::move(fd)) {}
  static constexpr std::size_t kReadBytes = 64 * 1024;
  UniqueFd fd_;
  // Not on the stack: a thread's is as small as the stack limit set (glibc
  // sizes threads by it), and 64 KiB there ended a watch under `ulimit -s 32`.
  std::unique_ptr<char[]> buffer_ = std::make_unique_for_overwrite<char[]>(kReadBytes);
};

}  // namespace shotsieve::folder
