#include "photos/folder/metadata/image_wholeness.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "photos/folder/metadata/byte_source.h"
#include "photos/folder/metadata/file_format.h"
#include "photos/no_link_open.h"

namespace shotsieve::folder {

namespace {

// The chunk that ends every PNG: it holds no data, so its checksum is fixed.
constexpr std::string_view kPngEnd("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
// How far from its end a PNG's end chunk is looked for, trailers included.
constexpr std::uint64_t kPngTail = 8 * 1024;

// A chunk's type is four ASCII letters. Anything else (the zeros of a file
// cut or never written) is no chunk: the walk stops there instead of
// stepping through the rest of the file twelve bytes at a time.
bool isPngChunkType(std::string_view type) {
  return type.size() == 4 && std::all_of(type.begin(), type.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
         });
}

// Whole once it ends with its end chunk, as a writer puts it there last:
// one read of the tail, not one per chunk of image data (a new screenshot is
// judged at once). A longer trailer, or an end chunk of another checksum, is
// judged by walking the chunks to it.
bool wholePng(Reader& in) {
  const std::uint64_t size = in.bytes.size();
  if (size < 8) return false;
  const std::uint64_t from = size > 8 + kPngTail ? size - kPngTail : 8;
  const std::string_view tail = in.bytes.read(from, static_cast<std::size_t>(size - from));
  if (tail.size() == size - from && tail.find(kPngEnd) != std::string_view::npos) return true;
  for (std::uint64_t at = 8;;) {
    const auto length = in.number(at, 4);
    const std::string_view type = in.bytes.read(at + 4, 4);
    if (!length || !isPngChunkType(type)) return false;
    const std::uint64_t end = at + 12 + *length;
    if (end > in.bytes.size()) return false;
    if (type == "IEND") return true;
    at = end;
  }
}

// Skips entropy-coded data to the next marker that is not a restart or a
// stuffed byte; returns its offset.
std::optional<std::uint64_t> nextMarker(Reader& in, std::uint64_t at) {
  const std::uint64_t size = in.bytes.size();
  while (at < size) {
    const std::string_view chunk = in.bytes.read(at, 64 * 1024);
    if (chunk.empty()) return std::nullopt;
    const char* const end = chunk.data() + chunk.size();
    const char* p = chunk.data();
    for (; (p = static_cast<const char*>(std::memchr(p, 0xFF, static_cast<std::size_t>(end - p)))) != nullptr && p + 1 < end;
         ++p) {
      const auto next = static_cast<unsigned char>(p[1]);
      if (next == 0x00 || next == 0xFF || (next >= 0xD0 && next <= 0xD7)) continue;
      return at + static_cast<std::uint64_t>(p - chunk.data());
    }
    if (p == nullptr) {
      at += chunk.size();
    } else if (p == chunk.data()) {
      return std::nullopt;  // the file ends on 0xFF
    } else {
      at += static_cast<std::uint64_t>(p - chunk.data());  // a marker's first byte at the end: read on from it
    }
  }
  return std::nullopt;
}

bool wholeJpeg(Reader& in) {
  for (std::uint64_t at = 2;;) {
    if (in.byte(at) != 0xFFu) return false;
    while (in.byte(at + 1) == 0xFFu) ++at;  // fill bytes before a marker
    const auto marker = in.byte(at + 1);
    if (!marker) return false;
    if (*marker == 0xD9) return true;  // end of image: what follows is a trailer
    if (*marker == 0x01 || (*marker >= 0xD0 && *marker <= 0xD7)) {
      at += 2;
      continue;
    }
    const auto length = in.number(at + 2, 2);
    if (!length || *length < 2) return false;
    const std::uint64_t end = at + 2 + *length;
    if (end > in.bytes.size()) return false;
    if (*marker == 0xDA) {  // start of scan: the coded data runs to the next marker
      const auto next = nextMarker(in, end);
      if (!next) return false;
      at = *next;
    } else {
      at = end;
    }
  }
}

bool wholeWebp(Reader& in) {
  in.littleEndian = true;
  const auto riffSize = in.number(4, 4);
  return riffSize && *riffSize >= 4 && in.bytes.size() >= *riffSize + 8;
}

// Sub-blocks of GIF data, each led by its length, ending with an empty one.
std::optional<std::uint64_t> skipSubBlocks(Reader& in, std::uint64_t at) {
  for (;;) {
    const auto length = in.byte(at);
    if (!length) return std::nullopt;
    at += 1 + *length;
    if (*length == 0) return at;
  }
}

bool wholeGif(Reader& in) {
  const auto flags = in.byte(10);
  if (!flags) return false;
  std::uint64_t at = 13 + ((*flags & 0x80) ? 3u * (2u << (*flags & 7)) : 0u);
  for (;;) {
    const auto introducer = in.byte(at);
    if (!introducer) return false;
    if (*introducer == 0x3B) return true;  // the trailer
    if (*introducer == 0x21) {             // an extension: label, then sub-blocks
      const auto end = skipSubBlocks(in, at + 2);
      if (!end) return false;
      at = *end;
    } else if (*introducer == 0x2C) {  // an image: descriptor, colour table, code size, data
      const auto local = in.byte(at + 9);
      if (!local) return false;
      at += 10 + ((*local & 0x80) ? 3u * (2u << (*local & 7)) : 0u) + 1;
      const auto end = skipSubBlocks(in, at);
      if (!end) return false;
      at = *end;
    } else {
      return false;
    }
  }
}

// Where the values of one TIFF entry lie: SHORT or LONG values, inline when
// they fit in the entry.
struct TiffValues {
  std::uint64_t at = 0;
  std::uint64_t count = 0;
  std::size_t width = 0;
};

std::optional<TiffValues> tiffValues(Reader& in, std::uint64_t entry) {
  const auto type = in.number(entry + 2, 2);
  const auto count = in.number(entry + 4, 4);
  if (!type || !count || (*type != 3 && *type != 4)) return std::nullopt;
  TiffValues values{entry + 8, *count, static_cast<std::size_t>(*type == 3 ? 2 : 4)};
  if (values.count * values.width > 4) {
    const auto offset = in.number(entry + 8, 4);
    if (!offset) return std::nullopt;
    values.at = *offset;
  }
  return values;
}

// The value of a directory entry lies inside the file, inline or where its
// offset points.
bool tiffEntryInside(Reader& in, std::uint64_t entry) {
  static constexpr std::uint64_t kTypeSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
  const auto type = in.number(entry + 2, 2);
  const auto count = in.number(entry + 4, 4);
  const auto offset = in.number(entry + 8, 4);
  if (!type || !count || !offset) return false;
  const std::uint64_t length = (*type < std::size(kTypeSizes) ? kTypeSizes[*type] : 0) * *count;
  return length <= 4 || *offset + length <= in.bytes.size();
}

// Every strip or tile of one directory lies inside the file. The two tables
// are read a block at a time each, so that going back and forth between them
// does not read the window again for every value.
bool tiffDataInside(Reader& in, const TiffValues& offsets, const TiffValues& counts) {
  if (offsets.count != counts.count || offsets.count > (1u << 22)) return false;
  constexpr std::uint64_t kBlock = 4096;
  std::string offsetBlock, countBlock;
  const auto value = [&](const std::string& block, std::uint64_t index, std::size_t width) {
    return decodeNumber(std::string_view(block).substr(index * width, width), in.littleEndian);
  };
  for (std::uint64_t first = 0; first < offsets.count; first += kBlock) {
    const std::uint64_t n = std::min(kBlock, offsets.count - first);
    offsetBlock = in.bytes.read(offsets.at + first * offsets.width, n * offsets.width);
    countBlock = in.bytes.read(counts.at + first * counts.width, n * counts.width);
    if (offsetBlock.size() < n * offsets.width || countBlock.size() < n * counts.width) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
      if (value(offsetBlock, i, offsets.width) + value(countBlock, i, counts.width) > in.bytes.size()) return false;
    }
  }
  return true;
}

bool wholeTiff(Reader& in) {
  in.littleEndian = in.bytes.read(0, 1) == "I";
  auto next = in.number(4, 4);
  for (int directories = 0; next && *next != 0; ++directories) {
    if (directories >= 64 || *next < 8) return false;  // a loop, or nonsense
    const std::uint64_t ifd = *next;
    const auto entries = in.number(ifd, 2);
    if (!entries) return false;
    std::optional<TiffValues> offsets, counts;
    for (std::uint64_t i = 0; i < *entries; ++i) {
      const std::uint64_t entry = ifd + 2 + i * 12;
      const auto tag = in.number(entry, 2);
      if (!tag || !tiffEntryInside(in, entry)) return false;
      if (*tag == 273 || *tag == 324) offsets = tiffValues(in, entry);  // strip or tile offsets
      if (*tag == 279 || *tag == 325) counts = tiffValues(in, entry);   // their byte counts
    }
    // The first directory is the image itself and must say where its data is.
    if (directories == 0 && (!offsets || !counts)) return false;
    if (offsets && counts && !tiffDataInside(in, *offsets, *counts)) return false;
    next = in.number(ifd + 2 + *entries * 12, 4);
  }
  return next.has_value();
}

bool wholeBmp(Reader& in) {
  in.littleEndian = true;
  const auto declared = in.number(2, 4);
  const auto dataOffset = in.number(10, 4);
  if (!declared || !dataOffset) return false;
  // Some writers leave the file size 0; the pixel data must then at least start.
  if (*declared == 0) return in.bytes.size() > *dataOffset;
  return in.bytes.size() >= *declared && *declared > *dataOffset;
}

bool wholeIsoMedia(Reader& in) {
  bool meta = false;
  std::uint64_t at = 0;
  const std::uint64_t size = in.bytes.size();
  for (int boxes = 0; at < size; ++boxes) {
    if (boxes > 100000) return false;
    auto length = in.number(at, 4);
    const std::string_view type = in.bytes.read(at + 4, 4);
    if (!length || type.size() < 4) return false;
    if (*length == 1) length = in.number(at + 8, 8);  // a 64-bit size follows the type
    if (!length) return false;
    if (type == "meta") meta = true;
    if (*length == 0) return meta;  // the last box runs to the end of the file
    if (*length < 8) return false;
    at += *length;
  }
  return meta && at == size;
}

}  // namespace

bool imageStructureIsWhole(ByteSource& bytes) {
  Reader in{bytes};
  switch (sniffFileFormat(bytes.read(0, kSniffBytes))) {
    case FileFormat::png:
      return wholePng(in);
    case FileFormat::jpeg:
      return wholeJpeg(in);
    case FileFormat::webp:
      return wholeWebp(in);
    case FileFormat::gif:
      return wholeGif(in);
    case FileFormat::tiff:
      return wholeTiff(in);
    case FileFormat::bmp:
      return wholeBmp(in);
    case FileFormat::heif:
    case FileFormat::avif:
      return wholeIsoMedia(in);
    case FileFormat::video:
    case FileFormat::unknown:
      return false;
  }
  return false;
}

bool imageFileLooksWhole(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return imageFileLooksWhole(fd, static_cast<std::uint64_t>(info.st_size));
}

bool imageFileLooksWhole(int fd, std::uint64_t size) {
  FileBytes bytes(fd, size);
  return imageStructureIsWhole(bytes);
}

bool imageDataLooksWhole(const std::string& absolutePath) {
  const UniqueFd fd(openWithoutLinks(absolutePath));
  return fd && imageFileLooksWhole(fd.get());
}

bool imageBytesLookWhole(std::string_view bytes) {
  StringBytes source(bytes);
  return imageStructureIsWhole(source);
}

}  // namespace shotsieve::folder
