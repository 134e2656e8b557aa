#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace shotsieve::folder {

// How a file's structure is read when it is judged whole: in bounded reads.

// Reads a file at any offset; what lies past the end reads as nothing. The
// watcher's files may still be growing or shrinking, so nothing is mapped.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Up to `length` bytes from `offset`, fewer at the end.
  virtual std::string_view read(std::uint64_t offset, std::size_t length) = 0;
};

// Reads through one window, refilled where the reads go: reads that go on
// from where the window ends grow it, up to kWindow, kept small enough to
// stay in the processor's cache (a walk through coded data costs the
// kernel's copy of it, not a fresh page per 4 KiB); a read further on (a
// chunk walk stepping over image data) takes only kFirstWindow there, so
// the data stepped over is never read. It stops reading after kMaxFills
// fills, or kMaxJumps back: whatever a file claims (a million strips,
// chunks that lead back and forth), judging it costs a bounded number of
// reads, and an unjudged file is not taken for whole.
class FileBytes final : public ByteSource {
 public:
  static constexpr std::size_t kFirstWindow = 4 * 1024;
  static constexpr std::size_t kWindow = 256 * 1024;
  static constexpr int kMaxFills = 1 << 16;
  static constexpr int kMaxJumps = 256;

  FileBytes(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t size() const override { return size_; }
  std::string_view read(std::uint64_t offset, std::size_t length) override;

 private:
  void fill(std::uint64_t offset, std::size_t length);

  int fd_;
  std::uint64_t size_;
  std::uint64_t start_ = 0;
  int fills_ = 0;
  int jumps_ = 0;
  std::size_t windowSize_ = kFirstWindow;
  std::unique_ptr<char[]> window_;
  std::size_t capacity_ = 0;
  std::size_t held_ = 0;
};

// A string's bytes, for tests and fuzzing.
class StringBytes final : public ByteSource {
 public:
  explicit StringBytes(std::string_view bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  std::string_view read(std::uint64_t offset, std::size_t length) override {
    if (offset >= bytes_.size()) return {};
    return bytes_.substr(static_cast<std::size_t>(offset), length);
  }

 private:
  std::string_view bytes_;
};

// Reads up to `length` bytes at `offset` into `out`, again after a short read
// or an interruption; returns how many it got (fewer at the end of the file).
std::size_t readFullyAt(int fd, char* out, std::size_t length, std::uint64_t offset);

// The number the bytes spell, in either byte order.
std::uint64_t decodeNumber(std::string_view bytes, bool littleEndian);

// Numbers in the file, or nothing when the file ends first.
struct Reader {
  ByteSource& bytes;
  bool littleEndian = false;

  std::optional<std::uint64_t> number(std::uint64_t offset, std::size_t width) {
    const std::string_view got = bytes.read(offset, width);
    if (got.size() < width) return std::nullopt;
    return decodeNumber(got, littleEndian);
  }
  std::optional<unsigned> byte(std::uint64_t offset) {
    auto value = number(offset, 1);
    return value ? std::optional<unsigned>(static_cast<unsigned>(*value)) : std::nullopt;
  }
};

}  // namespace shotsieve::folder
