#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace shotsieve::folder {

// What a file's first bytes say it is. Stored in the metadata index as a byte:
// the values are kept.
enum class FileFormat : std::uint8_t {
  unknown = 0,
  png = 1,
  jpeg = 2,
  webp = 3,
  gif = 4,
  tiff = 5,
  bmp = 6,
  heif = 7,  // HEIF and HEIC, by their ftyp brands
  avif = 8,
  video = 9,  // an MP4/QuickTime, Matroska/WebM or AVI container
};

// How many leading bytes sniffFileFormat wants; fewer are fine for short files.
inline constexpr std::size_t kSniffBytes = 64;

// The format of a file from its first bytes. Text, random bytes and formats
// the library does not read are `unknown`.
FileFormat sniffFileFormat(std::string_view head);

// The media type a format makes an asset of (image or video), or 0 for none.
int mediaTypeOfFormat(FileFormat format);

// The big-endian 32-bit number at `at` (four bytes must be there), as PNG
// chunk lengths and ISO box sizes are written.
std::uint32_t big32(std::string_view bytes, std::size_t at);

}  // namespace shotsieve::folder
