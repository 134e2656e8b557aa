#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace shotsieve::folder {

class ByteSource;

// True when the structure of the image data is complete, judged by its
// format: a PNG's end chunk among its last 8 KiB, else its chunks up to it;
// JPEG segments and entropy-coded data up to the end-of-image marker,
// whatever follows it; the RIFF size of a WebP; GIF
// blocks up to the trailer; TIFF directories and strips or tiles inside the
// file; the size a BMP declares; HEIF and AVIF boxes adding up to the file.
bool imageStructureIsWhole(ByteSource& bytes);

// The same for a file by absolute path (opened without following links);
// false for anything that is no image or cannot be read.
bool imageDataLooksWhole(const std::string& absolutePath);

// The same for an open file.
bool imageFileLooksWhole(int fd);
// The same for an open file the caller has just found regular and `size` bytes long.
bool imageFileLooksWhole(int fd, std::uint64_t size);

// The bytes of a string as a ByteSource, for tests and fuzzing.
bool imageBytesLookWhole(std::string_view bytes);

}  // namespace shotsieve::folder
