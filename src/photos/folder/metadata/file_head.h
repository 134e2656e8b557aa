#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "photos/folder/metadata/byte_source.h"

namespace shotsieve::folder {

// The first bytes of an open file, read as far as a parser asks and no
// further: a page to begin with, more in growing steps. Metadata lies at the
// head of an image, so most files take one read. The kernel is told not to
// read ahead: on a cold disk, readahead would read a hundred pages per file
// for the one that is needed.
class FileHead {
 public:
  // Reads nothing beyond `limit` bytes, whatever a parser asks.
  FileHead(int fd, std::uint64_t fileSize, std::size_t limit);

  // True when the head holds the first `end` bytes (the file may be shorter).
  bool have(std::uint64_t end);
  std::string_view bytes() const { return {data(), size_}; }
  std::uint64_t fileSize() const { return fileSize_; }
  int fd() const { return fd_; }
  // Lets go of all but the first `size` bytes, and hands them over.
  std::string take(std::size_t size) &&;
  // The file's last `length` bytes (fewer when it is shorter), read once and kept.
  std::string_view tail(std::size_t length);
  // What `tail` read, and where it starts in the file.
  std::string_view keptTail() const { return tail_; }
  std::uint64_t keptTailStart() const { return tailStart_; }

 private:
  static constexpr std::size_t kFirstRead = 4096;
  char* data() { return grown_ ? grown_.get() : first_; }
  const char* data() const { return grown_ ? grown_.get() : first_; }
  std::size_t capacity() const { return grown_ ? grownCapacity_ : kFirstRead; }

  int fd_;
  std::uint64_t fileSize_;
  std::size_t limit_;
  // Most heads fit the first read, in place: no allocation, which a dozen
  // reader threads would otherwise queue for. Larger ones move to the heap,
  // not into a string, which would be filled with zeros for the read to overwrite.
  char first_[kFirstRead];
  std::unique_ptr<char[]> grown_;
  std::size_t grownCapacity_ = 0;
  std::size_t size_ = 0;
  std::string tail_;
  std::uint64_t tailStart_ = 0;
};

// What a FileHead read, served again, and the rest read from its file: the
// structure of a file just read for its facts is judged without reading its
// head and tail a second time.
class HeldBytes final : public ByteSource {
 public:
  explicit HeldBytes(const FileHead& head) : head_(head), rest_(head.fd(), head.fileSize()) {}
  std::uint64_t size() const override { return head_.fileSize(); }
  std::string_view read(std::uint64_t offset, std::size_t length) override;

 private:
  const FileHead& head_;
  FileBytes rest_;
};

}  // namespace shotsieve::folder
