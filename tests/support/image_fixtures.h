#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace shotsieve::testing {

struct PngFixture {
  std::uint32_t width = 64;
  std::uint32_t height = 32;
  std::vector<std::pair<std::string, std::string>> texts;  // tEXt chunks before the image data
  std::string xmp;                                         // an XMP packet, as an iTXt chunk
  std::uint64_t padding = 0;  // bytes in a private chunk, written as a hole unless dense
  bool densePadding = false;  // written out in full, as a real image's data would be
  std::string exif;  // an eXIf chunk's payload (exifPayload), before the image data
};

struct JpegFixture {
  std::uint16_t width = 4032;
  std::uint16_t height = 3024;
  std::string dateTimeOriginal;  // "2024:03:05 14:07:09"
  std::string offsetTimeOriginal;
  std::string userComment;
  int rating = 0;  // XMP rating, when not 0
  std::uint64_t padding = 0;  // zero bytes of image data, written as a hole
};

// Complete, valid files with real headers and metadata.
std::string pngBytes(const PngFixture& image);
std::string jpegBytes(const JpegFixture& image);
void writePng(const std::string& path, const PngFixture& image);
void writeJpeg(const std::string& path, const JpegFixture& image);
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
// The names in a folder, sorted.
std::vector<std::string> namesIn(const std::string& folder);

// One PNG chunk: length, type, data and CRC.
std::string pngChunk(const std::string& type, const std::string& data);

// The signature and header chunk of a PNG, nothing after: enough to claim any size.
std::string pngHeaderOnly(std::uint32_t width, std::uint32_t height);

// Adds metadata to an existing image file through exiv2, as a camera or a
// photo manager would have written it.
void addMetadata(const std::string& path, const JpegFixture& metadata);

// Runs a shell command (a Debian tool making a fixture); true when it succeeded.
bool runTool(const std::string& command);

// The Exif of the given fields as a TIFF block, as an eXIf chunk carries it.
std::string exifPayload(const JpegFixture& metadata);

// An XMP packet with xmp:Rating.
std::string xmpWithRating(int rating);

}  // namespace shotsieve::testing
