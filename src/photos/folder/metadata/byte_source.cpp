#include "photos/folder/metadata/byte_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace shotsieve::folder {

std::string_view FileBytes::read(std::uint64_t offset, std::size_t length) {
  if (offset >= size_) return {};
  if (offset < start_ || offset + length > start_ + window_.size()) {
    if (fills_ >= kMaxFills) return {};
    fill(offset, length);
  }
  const std::size_t from = static_cast<std::size_t>(offset - start_);
  return std::string_view(window_).substr(from, std::min(length, window_.size() - std::min(from, window_.size())));
}

void FileBytes::fill(std::uint64_t offset, std::size_t length) {
  const bool forward = fills_ > 0 && offset >= start_ && offset <= start_ + window_.size() + kFirstWindow;
  windowSize_ = forward ? std::min(windowSize_ * 2, kLargestWindow) : kFirstWindow;
  ++fills_;
  window_.resize(std::max(length, windowSize_));
  std::size_t got = 0;
  while (got < window_.size()) {
    const ssize_t n = ::pread(fd_, window_.data() + got, window_.size() - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  window_.resize(got);
  start_ = offset;
}

std::uint64_t decodeNumber(std::string_view bytes, bool littleEndian) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[littleEndian ? bytes.size() - 1 - i : i]);
  }
  return value;
}

}  // namespace shotsieve::folder
