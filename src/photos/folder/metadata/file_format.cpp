#include "photos/folder/metadata/file_format.h"

#include <array>

#include "photos/photo_library.h"

namespace shotsieve::folder {

std::uint32_t big32(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
  return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

namespace {

std::uint32_t little32(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
  return byte(3) << 24 | byte(2) << 16 | byte(1) << 8 | byte(0);
}

bool hasAt(std::string_view head, std::size_t at, std::string_view magic) {
  return head.size() >= at + magic.size() && head.substr(at, magic.size()) == magic;
}

constexpr std::array<std::string_view, 2> kAvifBrands{"avif", "avis"};
constexpr std::array<std::string_view, 11> kHeifBrands{"heic", "heix", "heim", "heis", "hevc", "hevx",
                                                       "hevm", "hevs", "mif1", "msf1", "mif2"};

// An ISO base media file: the major brand and the compatible brands of its
// ftyp box decide between AVIF, HEIF and a video. AVIF files also list mif1,
// so AVIF is looked for first.
FileFormat formatOfFileType(std::string_view head) {
  const std::size_t boxEnd = std::min<std::size_t>(head.size(), std::max<std::uint32_t>(big32(head, 0), 16));
  const auto anyBrand = [&](const auto& brands) {
    for (std::size_t at = 8; at + 4 <= boxEnd; at += at == 8 ? 8 : 4) {  // major brand, then compatible ones
      for (const auto brand : brands) {
        if (head.substr(at, 4) == brand) return true;
      }
    }
    return false;
  };
  if (anyBrand(kAvifBrands)) return FileFormat::avif;
  if (anyBrand(kHeifBrands)) return FileFormat::heif;
  return FileFormat::video;
}

// The sizes a BMP's information header can have.
bool isBmpHeaderSize(std::uint32_t size) {
  for (const std::uint32_t known : {12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u}) {
    if (size == known) return true;
  }
  return false;
}

}  // namespace

FileFormat sniffFileFormat(std::string_view head) {
  if (hasAt(head, 0, "\x89PNG\r\n\x1a\n")) return FileFormat::png;
  if (hasAt(head, 0, "\xFF\xD8\xFF")) return FileFormat::jpeg;
  if (hasAt(head, 0, "RIFF") && hasAt(head, 8, "WEBP")) return FileFormat::webp;
  if (hasAt(head, 0, "RIFF") && hasAt(head, 8, "AVI ")) return FileFormat::video;
  if (hasAt(head, 0, "GIF87a") || hasAt(head, 0, "GIF89a")) return FileFormat::gif;
  if (hasAt(head, 0, std::string_view("II*\0", 4)) || hasAt(head, 0, std::string_view("MM\0*", 4))) {
    return FileFormat::tiff;
  }
  if (hasAt(head, 0, "BM") && head.size() >= 18 && isBmpHeaderSize(little32(head, 14))) return FileFormat::bmp;
  if (head.size() >= 16 && hasAt(head, 4, "ftyp")) return formatOfFileType(head);
  // QuickTime files older than the ftyp box start with one of these.
  for (const std::string_view box : {"moov", "mdat", "wide", "free", "skip", "pnot"}) {
    if (head.size() >= 8 && hasAt(head, 4, box) && big32(head, 0) >= 8) return FileFormat::video;
  }
  if (hasAt(head, 0, "\x1A\x45\xDF\xA3")) return FileFormat::video;  // Matroska and WebM
  return FileFormat::unknown;
}

int mediaTypeOfFormat(FileFormat format) {
  switch (format) {
    case FileFormat::unknown:
      return 0;
    case FileFormat::video:
      return kVideoMediaType;
    default:
      return kImageMediaType;
  }
}

}  // namespace shotsieve::folder
