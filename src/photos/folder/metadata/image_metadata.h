#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "photos/folder/metadata/file_format.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// What the folder library reads from inside a file.
struct ImageFacts {
  FileFormat format = FileFormat::unknown;  // by content; unknown for no image or video at all
  bool headerRead = false;  // the format was recognised and its header parsed
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::optional<double> captureDate;  // Exif, then XMP, then PNG "Creation Time"
  bool favorite = false;              // xmp:Rating 5
  bool markedScreenshot = false;      // screenshot tool in "Software", or a "Screenshot" user comment
};

// Reads the facts of one untrusted file, by absolute path, opened without
// following links: its format by content and, for an image, what its header
// and metadata say. Never throws and never prints; a file that no parser
// accepts gives the defaults, with the format its first bytes show.
ImageFacts readImageFacts(const std::string& absolutePath);

// The same for a file opened by the caller.
ImageFacts readImageFacts(UniqueFd file);

}  // namespace shotsieve::folder
