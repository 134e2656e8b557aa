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
    // A page first. Then what is asked for and a page after it, where the next
    // segment's header lies (a JPEG's tables after its Exif), to a page's end;
    // and half as much again at least, so a head that needs far more takes few reads.
    const std::size_t asked = static_cast<std::size_t>(wanted - size_) + (size_ > 0 ? kFirstRead : 0);
    const std::size_t step = std::max<std::size_t>({kFirstRead, asked, size_ / 2});
    const std::uint64_t pageEnd = (size_ + step + kFirstRead - 1) / kFirstRead * kFirstRead;
    const auto target = static_cast<std::size_t>(std::min<std::uint64_t>(pageEnd, std::min<std::uint64_t>(fileSize_, limit_)));
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

std::string_view FileHead::tail(std::size_t length) {
  const std::uint64_t from = fileSize_ - std::min<std::uint64_t>(length, fileSize_);
  if (tail_.empty() || from < tailStart_ || tailStart_ + tail_.size() < fileSize_) {
    tail_.resize(static_cast<std::size_t>(fileSize_ - from));
    tail_.resize(readFullyAt(fd_, tail_.data(), tail_.size(), from));
    tailStart_ = from;
  }
  return std::string_view(tail_).substr(static_cast<std::size_t>(std::min<std::uint64_t>(from - tailStart_, tail_.size())));
}

std::string_view HeldBytes::read(std::uint64_t offset, std::size_t length) {
  const std::uint64_t size = head_.fileSize();
  if (offset >= size) return {};
  const std::uint64_t end = offset + std::min<std::uint64_t>(length, size - offset);
  const std::string_view head = head_.bytes();
  if (end <= head.size()) return head.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(end - offset));
  const std::string_view tail = head_.keptTail();
  const std::uint64_t tailStart = head_.keptTailStart();
  if (!tail.empty() && offset >= tailStart && end <= tailStart + tail.size()) {
    return tail.substr(static_cast<std::size_t>(offset - tailStart), static_cast<std::size_t>(end - offset));
  }
  return rest_.read(offset, length);
}

}  // namespace shotsieve::folder
