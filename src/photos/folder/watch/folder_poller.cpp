#include "photos/folder/watch/folder_poller.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace shotsieve::folder {

namespace {

// The folder's modification time, or -1 when it is no folder now.
std::int64_t folderTime(const std::string& path) {
  struct statx info;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MTIME, &info) != 0 ||
      !S_ISDIR(info.stx_mode)) {
    return -1;
  }
  return static_cast<std::int64_t>(info.stx_mtime.tv_sec) * 1000000000 + info.stx_mtime.tv_nsec;
}

}  // namespace

void FolderPoller::add(const std::string& relativeFolder, const std::string& absolutePath) {
  if (folders_.empty()) {
    backoff_.reset();
    next_ = Clock::now() + backoff_.current();
  }
  folders_[relativeFolder] = folderTime(absolutePath);
}

void FolderPoller::remove(const std::string& relativeFolder) {
  for (auto it = folders_.lower_bound(relativeFolder); it != folders_.end();) {
    if (it->first != relativeFolder && !it->first.starts_with(relativeFolder + "/")) break;
    it = folders_.erase(it);
  }
}

void FolderPoller::forget(const std::string& relativeFolder) { folders_.erase(relativeFolder); }

FolderPoller::Clock::time_point FolderPoller::nextLook() const {
  return folders_.empty() ? Clock::time_point::max() : next_;
}

std::vector<std::string> FolderPoller::look(const std::string& root, Clock::time_point now) {
  std::vector<std::string> changed;
  if (folders_.empty() || now < next_) return changed;
  for (auto& [relative, time] : folders_) {
    const std::int64_t current = folderTime(relative.empty() ? root : root + "/" + relative);
    if (current != time) {
      time = current;
      changed.push_back(relative);
    }
  }
  if (changed.empty()) {
    backoff_.lengthen();
  } else {
    backoff_.reset();
  }
  next_ = now + backoff_.current();
  return changed;
}

}  // namespace shotsieve::folder
