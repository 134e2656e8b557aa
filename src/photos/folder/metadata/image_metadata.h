#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace shotsieve::folder {

// What the folder library reads from inside an image file.
struct ImageFacts {
  bool headerRead = false;  // the format was recognised and its header parsed
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::optional<double> captureDate;  // Exif, then XMP, then PNG "Creation Time"
  bool favorite = false;              // xmp:Rating 5
  bool markedScreenshot = false;      // screenshot tool in "Software", or a "Screenshot" user comment
};

// Reads the facts of one untrusted image file, by absolute path. Never throws
// and never prints; a file that no parser accepts gives the defaults.
ImageFacts readImageFacts(const std::string& absolutePath);

// True when the file's data looks whole: a PNG ends with its IEND chunk, a
// JPEG with its end marker; other formats when their header can be read.
bool imageDataLooksWhole(const std::string& absolutePath);

}  // namespace shotsieve::folder
