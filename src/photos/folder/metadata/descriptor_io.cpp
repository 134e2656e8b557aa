#include "photos/folder/metadata/descriptor_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "photos/folder/metadata/byte_source.h"

namespace shotsieve::folder {

namespace {

// Larger than the metadata of any real image; a file that claims more is read no further.
constexpr std::uint64_t kMostBytes = std::uint64_t{32} << 20;

}  // namespace

DescriptorIo::DescriptorIo(int fd, std::uint64_t size, std::string head) : fd_(fd), size_(size) {
  if (!head.empty()) {
    piecesBytes_ = head.size();
    pieces_.push_back(Piece{0, std::move(head)});
  }
}

DescriptorIo::~DescriptorIo() { munmap(); }

void DescriptorIo::willNeed(std::uint64_t offset, std::uint64_t length) const {
  if (offset >= size_ || length == 0) return;
  ::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(std::min(length, size_ - offset)), POSIX_FADV_WILLNEED);
}

int DescriptorIo::open() {
  position_ = 0;
  eof_ = false;
  return 0;
}

const DescriptorIo::Piece* DescriptorIo::pieceAt(std::uint64_t offset, std::size_t wanted) {
  for (const Piece& piece : pieces_) {
    if (offset >= piece.offset && offset - piece.offset < piece.bytes.size()) return &piece;
  }
  if (offset >= size_ || piecesBytes_ >= kMostBytes) return nullptr;
  // Up to the next piece held, so that no byte is read twice.
  std::uint64_t end = std::min({size_, offset + std::max(kPiece, wanted), offset + (kMostBytes - piecesBytes_)});
  for (const Piece& piece : pieces_) {
    if (piece.offset > offset) end = std::min(end, piece.offset);
  }
  std::string bytes(static_cast<std::size_t>(end - offset), '\0');
  const std::size_t got = readFullyAt(fd_, bytes.data(), bytes.size(), offset);
  if (got == 0) return nullptr;  // shorter than it said
  bytes.resize(got);
  piecesBytes_ += got;
  pieces_.push_back(Piece{offset, std::move(bytes)});
  return &pieces_.back();
}

std::size_t DescriptorIo::copy(std::uint64_t offset, char* out, std::size_t length) {
  std::size_t copied = 0;
  while (copied < length) {
    const Piece* piece = pieceAt(offset + copied, length - copied);
    if (piece == nullptr) break;
    const auto from = static_cast<std::size_t>(offset + copied - piece->offset);
    const std::size_t n = std::min(length - copied, piece->bytes.size() - from);
    std::memcpy(out + copied, piece->bytes.data() + from, n);
    copied += n;
  }
  return copied;
}

long DescriptorIo::read(Exiv2::byte* buffer, long count) {
  if (count <= 0) return 0;
  const std::uint64_t wanted = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size_ - std::min(position_, size_));
  // No more than the file holds, whatever size a hostile file claims.
  const std::size_t got = copy(position_, reinterpret_cast<char*>(buffer), static_cast<std::size_t>(wanted));
  position_ += got;
  if (got < static_cast<std::uint64_t>(count)) eof_ = true;
  return static_cast<long>(got);
}

Exiv2::DataBuf DescriptorIo::read(long count) {
  const long available = static_cast<long>(size_ - std::min(position_, size_));
  Exiv2::DataBuf buffer(std::max(0L, std::min(count, available)));
  const long got = read(buffer.pData_, buffer.size_);
  if (got < buffer.size_) {
    Exiv2::DataBuf shorter(got);
    if (got > 0) std::memcpy(shorter.pData_, buffer.pData_, static_cast<std::size_t>(got));
    if (count > available) eof_ = true;
    return shorter;
  }
  if (count > available) eof_ = true;
  return buffer;
}

int DescriptorIo::getb() {
  Exiv2::byte byte;
  return read(&byte, 1) == 1 ? byte : EOF;
}

int DescriptorIo::seek(long offset, Position from) {
  const auto base = from == beg ? 0 : from == cur ? static_cast<std::int64_t>(position_) : static_cast<std::int64_t>(size_);
  if ((offset > 0 && base > INT64_MAX - offset)) return 1;
  const std::int64_t target = base + offset;
  if (target < 0) return 1;
  if (static_cast<std::uint64_t>(target) > size_) {
    eof_ = true;
    return 1;
  }
  position_ = static_cast<std::uint64_t>(target);
  eof_ = false;
  return 0;
}

// TIFF is decoded from a map of the whole file, as exiv2 maps it itself:
// only the pages it touches are read, one by one, with no readahead.
Exiv2::byte* DescriptorIo::mmap(bool writeable) {
  if (writeable || size_ == 0) throw Exiv2::Error(Exiv2::kerCallFailed, "(descriptor)", "mmap", "read only");
  if (mapped_ == nullptr) {
    void* map = ::mmap(nullptr, static_cast<std::size_t>(size_), PROT_READ, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) throw Exiv2::Error(Exiv2::kerCallFailed, "(descriptor)", std::strerror(errno), "mmap");
    ::madvise(map, static_cast<std::size_t>(size_), MADV_RANDOM);
    mapped_ = map;
  }
  return static_cast<Exiv2::byte*>(mapped_);
}

int DescriptorIo::munmap() {
  if (mapped_ != nullptr) ::munmap(mapped_, static_cast<std::size_t>(size_));
  mapped_ = nullptr;
  return 0;
}

}  // namespace shotsieve::folder
