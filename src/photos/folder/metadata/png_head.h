#pragma once

#include <cstdint>
#include <string>

#include "photos/folder/metadata/file_head.h"

namespace shotsieve::folder {

// What the chunks of a PNG before its image data say, read by libpng from
// the file's head: the size, the texts shotsieve looks at, and the Exif an
// eXIf chunk carries.
struct PngHead {
  bool whole = false;  // every chunk up to the image data was read
  std::uint32_t width = 0, height = 0;
  std::string software, creationTime, xmp;
  std::string exif;          // the eXIf chunk's data: Exif in TIFF form
  bool rawProfileExif = false;  // Exif hex-coded in a text chunk, as ImageMagick writes it
  std::string beforeImageData;  // with a raw profile: the file up to its first IDAT chunk
  std::size_t imageData = 0;     // where the first IDAT chunk starts, once reached
};

// Reads the chunks before the image data. The head ends early, and the file
// reads as cut short there, at a chunk that claims more than 16 MiB or more
// than the file holds: libpng allocates a chunk's declared length before it
// reads it, so a hostile length would cost gigabytes.
PngHead readPngHead(FileHead& head);

// Adds what the chunks before the image data left unsaid from the texts and
// Exif after it, between the last image data and the end, where some writers
// put them: found in one read of the file's last 8 KiB, each chunk by its
// length and checksum in a chain that leads to IEND.
void readPngAfterImageData(FileHead& head, PngHead& png);

}  // namespace shotsieve::folder
