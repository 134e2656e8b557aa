#pragma once

#include <cstdint>
#include <string>

#include "photos/folder/metadata/file_head.h"

namespace shotsieve::folder {

// What a WebP's chunks say: the canvas size (VP8X, or the first image or
// frame), and the Exif and XMP chunks, which the format places after the
// image data. The chunks are walked by their sizes from the head; the
// image data is never read, and what follows it is read in one step.
struct WebpHead {
  std::uint32_t width = 0, height = 0;
  std::string exif;  // in TIFF form, an "Exif\0\0" prefix taken off
  std::string xmp;
};

WebpHead readWebpHead(FileHead& head);

}  // namespace shotsieve::folder
