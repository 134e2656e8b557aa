#include "photos/folder/metadata/file_head.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace shotsieve::folder {

FileHead::FileHead(int fd, std::uint64_t fileSize, std::size_t limit) : fd_(fd), fileSize_(fileSize), limit_(limit) {
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
}

bool FileHead::have(std::uint64_t end) {
  if (end > limit_) return false;
  const std::uint64_t wanted = std::min(end, fileSize_);
  while (size_ < wanted) {
    // Growing steps: a head that needs more than a page likely needs much more.
    const std::size_t step = std::max<std::size_t>({kFirstRead, size_, static_cast<std::size_t>(wanted - size_)});
    const auto target = static_cast<std::size_t>(std::min<std::uint64_t>(size_ + step, std::min<std::uint64_t>(fileSize_, limit_)));
    if (target > capacity()) {
      auto larger = std::make_unique_for_overwrite<char[]>(target);
      if (size_ > 0) std::memcpy(larger.get(), data(), size_);
      grown_ = std::move(larger);
      grownCapacity_ = target;
    }
    ssize_t got;
    do {
      got = ::pread(fd_, data() + size_, target - size_, static_cast<off_t>(size_));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) break;  // shorter than it said: cut short as it stands
    size_ += static_cast<std::size_t>(got);
  }
  return size_ >= end;
}

std::string FileHead::take(std::size_t size) && { return std::string(data(), std::min(size, size_)); }

}  // namespace shotsieve::folder
