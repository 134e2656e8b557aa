#include "photos/folder/metadata/byte_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace shotsieve::folder {

std::string_view FileBytes::read(std::uint64_t offset, std::size_t length) {
  if (offset >= size_) return {};
  if (offset < start_ || offset + length > start_ + held_) {
    if (fills_ >= kMaxFills) return {};
    if (fills_ > 0 && offset < start_ && ++jumps_ > kMaxJumps) return {};
    const bool onwards = fills_ > 0 && offset >= start_ && offset <= start_ + held_;
    windowSize_ = onwards ? std::min(windowSize_ * 2, kWindow) : kFirstWindow;
    fill(offset, length);
  }
  const std::size_t from = static_cast<std::size_t>(offset - start_);
  return std::string_view(window_.get(), held_).substr(std::min(from, held_), length);
}

void FileBytes::fill(std::uint64_t offset, std::size_t length) {
  ++fills_;
  const std::size_t wanted = std::max(length, windowSize_);
  if (wanted > capacity_) {  // at most kWindow but for a larger read: allocated once per walk
    capacity_ = std::max(wanted, kWindow);
    window_ = std::make_unique_for_overwrite<char[]>(capacity_);
  }
  held_ = 0;
  start_ = offset;
  held_ = readFullyAt(fd_, window_.get(), static_cast<std::size_t>(std::min<std::uint64_t>(wanted, size_ - offset)), offset);
}

std::size_t readFullyAt(int fd, char* out, std::size_t length, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, out + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

std::uint64_t decodeNumber(std::string_view bytes, bool littleEndian) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[littleEndian ? bytes.size() - 1 - i : i]);
  }
  return value;
}

}  // namespace shotsieve::folder
