#pragma once

#include <exiv2/exiv2.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace shotsieve::folder {

// exiv2's reads of a file it walks for metadata (WebP's chunks aside: TIFF,
// BMP, GIF, HEIF, AVIF), served from the descriptor that was opened and
// checked: never opened again by name, so the kernel's advice not to read
// ahead holds, and each read is of the bytes asked for, in pieces of at
// least kPiece (a box or chunk walk asks for a few bytes at a time), with the
// head that was already read served as it is, and at most 32 MiB in all.
// Reads only: a write fails.
class DescriptorIo final : public Exiv2::BasicIo {
 public:
  static constexpr std::size_t kPiece = 16 * 1024;

  DescriptorIo(int fd, std::uint64_t size, std::string head);
  ~DescriptorIo() override;

  // Asks the kernel to start reading a region now, beside the reads that
  // follow: a format whose metadata lies further on is read in parallel.
  void willNeed(std::uint64_t offset, std::uint64_t length) const;

  int open() override;
  int close() override { return 0; }
  long write(const Exiv2::byte*, long) override { return 0; }
  long write(Exiv2::BasicIo&) override { return 0; }
  int putb(Exiv2::byte) override { return EOF; }
  Exiv2::DataBuf read(long count) override;
  long read(Exiv2::byte* buffer, long count) override;
  int getb() override;
  void transfer(Exiv2::BasicIo&) override { throw Exiv2::Error(Exiv2::kerErrorMessage, "read only"); }
  int seek(long offset, Position from) override;
  Exiv2::byte* mmap(bool writeable = false) override;
  int munmap() override;
  long tell() const override { return static_cast<long>(position_); }
  size_t size() const override { return static_cast<size_t>(size_); }
  bool isopen() const override { return true; }
  int error() const override { return 0; }
  bool eof() const override { return eof_; }
  std::string path() const override { return "(descriptor)"; }

 private:
  struct Piece {
    std::uint64_t offset;
    std::string bytes;
  };
  // Copies what the pieces hold of [offset, offset + length), reading what they lack.
  std::size_t copy(std::uint64_t offset, char* out, std::size_t length);
  const Piece* pieceAt(std::uint64_t offset, std::size_t wanted);

  int fd_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  bool eof_ = false;
  std::vector<Piece> pieces_;
  std::uint64_t piecesBytes_ = 0;
  void* mapped_ = nullptr;
};

}  // namespace shotsieve::folder
