#include "photos/folder/metadata/png_head.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "photos/folder/metadata/file_format.h"

namespace shotsieve::folder {

namespace {

constexpr std::uint64_t kMaxPngChunkBytes = 16 << 20;

// How far libpng may read: up to and including the first IDAT chunk's header,
// or to the first chunk that cannot be trusted. `imageData` is where the first
// IDAT chunk starts, when it was reached.
std::size_t trustworthyEnd(FileHead& head, std::size_t& imageData) {
  std::uint64_t at = 8;
  while (head.have(at + 8)) {
    const std::string_view bytes = head.bytes();
    const std::uint64_t length = big32(bytes, at);
    if (bytes.substr(at + 4, 4) == "IDAT") {
      imageData = at;
      return at + 8;
    }
    if (length > kMaxPngChunkBytes || at + 12 + length > head.fileSize() || !head.have(at + 12 + length)) return at;
    at += 12 + length;
  }
  return head.bytes().size();
}

struct Stream {
  std::string_view bytes;
  std::size_t at = 0;
};

[[noreturn]] void failed(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void warned(png_structp, png_const_charp) {}

void readStream(png_structp png, png_bytep data, png_size_t length) {
  auto* stream = static_cast<Stream*>(png_get_io_ptr(png));
  if (length > stream->bytes.size() - stream->at) png_error(png, "cut short");
  std::memcpy(data, stream->bytes.data() + stream->at, length);
  stream->at += length;
}

// No C++ object with a destructor lives across the setjmp, as libpng's error
// path leaves through longjmp.
bool readInfo(Stream* stream, PngHead* out) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, failed, warned);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    // A file cut short after its header still tells its size.
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, stream, readStream);
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);  // report the size as it stands
  png_set_chunk_malloc_max(png, kMaxPngChunkBytes);
  png_read_info(png, info);
  out->width = png_get_image_width(png, info);
  out->height = png_get_image_height(png, info);
  png_textp texts = nullptr;
  int count = 0;
  png_get_text(png, info, &texts, &count);
  for (int i = 0; i < count; ++i) {
    const std::string_view key = texts[i].key;
    const std::string_view value(texts[i].text, texts[i].itxt_length ? texts[i].itxt_length : texts[i].text_length);
    if (key == "Software") out->software.assign(value);
    if (key == "Creation Time") out->creationTime.assign(value);
    if (key == "XML:com.adobe.xmp") out->xmp.assign(value);
    if (key.starts_with("Raw profile type exif") || key.starts_with("Raw profile type APP1")) out->rawProfileExif = true;
  }
#ifdef PNG_eXIf_SUPPORTED
  png_uint_32 exifLength = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &exifLength, &exif) != 0 && exifLength > 0) {
    out->exif.assign(reinterpret_cast<const char*>(exif), exifLength);
  }
#endif
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// The tail is read in one step, this large: texts, Exif and XMP after the
// image data take a few KiB. A chunk that starts further back is not found.
constexpr std::size_t kTail = 8 * 1024;
constexpr std::string_view kMetadataChunks[] = {"tEXt", "zTXt", "iTXt", "eXIf"};

bool isMetadataChunk(std::string_view type) {
  return std::find(std::begin(kMetadataChunks), std::end(kMetadataChunks), type) != std::end(kMetadataChunks);
}

// Where the chunk at `at` ends, when its length and checksum hold and it ends by `limit`.
std::size_t chunkEnd(std::string_view tail, std::size_t at, std::size_t limit) {
  if (at + 12 > limit) return 0;
  const std::size_t end = at + 12 + big32(tail, at);
  if (end > limit) return 0;
  const std::string_view typed = tail.substr(at + 4, end - at - 8);
  const auto crc = crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()));
  return static_cast<std::uint32_t>(crc) == big32(tail, end - 4) ? end : 0;
}

// The metadata chunks of `tail` (the file's last bytes) that a chain of
// whole chunks leads from to IEND, verbatim and in order: the chain starts
// at the first place where a metadata chunk's name stands and from which
// every chunk's length and checksum lead on to IEND.
std::string trailingChunks(std::string_view tail) {
  constexpr std::string_view kEnd("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
  // The first: bytes may trail after it, another image's among them.
  const std::size_t iend = tail.find(kEnd);
  if (iend == std::string_view::npos) return {};
  std::vector<std::size_t> starts;
  for (const std::string_view type : kMetadataChunks) {
    for (std::size_t at = tail.find(type); at != std::string_view::npos && at < iend; at = tail.find(type, at + 1)) {
      if (at >= 4) starts.push_back(at - 4);
    }
  }
  std::sort(starts.begin(), starts.end());
  for (const std::size_t start : starts) {
    std::string chunks;
    std::size_t at = start;
    while (at < iend) {
      const std::size_t end = chunkEnd(tail, at, iend);
      if (end == 0) break;
      if (isMetadataChunk(tail.substr(at + 4, 4))) chunks.append(tail.substr(at, end - at));
      at = end;
    }
    if (at == iend) return chunks;
  }
  return {};
}

}  // namespace

// What the chunks after the image data say: read by libpng as if they came
// before it, after the header chunks it needs (IHDR, and PLTE for a palette).
void readPngAfterImageData(FileHead& head, PngHead& png) {
  const std::size_t imageData = png.imageData;
  if (!png.whole || imageData == 0 || head.fileSize() <= imageData) return;
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kTail, head.fileSize() - imageData));
  const std::uint64_t from = head.fileSize() - length;
  const std::string_view bytes = head.bytes();
  const std::string chunks = trailingChunks(bytes.size() == head.fileSize() ? bytes.substr(from) : head.tail(length));
  if (chunks.empty()) return;
  std::string stream(bytes.substr(0, 8));
  for (std::size_t at = 8; at + 12 <= imageData;) {
    const std::size_t next = at + 12 + big32(bytes, at);
    const std::string_view type = bytes.substr(at + 4, 4);
    if (type == "IHDR" || type == "PLTE") stream.append(bytes.substr(at, next - at));
    at = next;
  }
  const std::size_t ownStart = stream.size();
  stream += chunks + std::string("\0\0\0\0IDAT", 8);
  Stream after{stream};
  PngHead trailing;
  if (!readInfo(&after, &trailing)) return;
  if (png.software.empty()) png.software = std::move(trailing.software);
  if (png.creationTime.empty()) png.creationTime = std::move(trailing.creationTime);
  if (png.xmp.empty()) png.xmp = std::move(trailing.xmp);
  if (png.exif.empty()) png.exif = std::move(trailing.exif);
  if (!png.rawProfileExif && trailing.rawProfileExif) {
    // exiv2 decodes the hex from chunks before the image data: it is given them so.
    png.rawProfileExif = true;
    png.beforeImageData = std::string(bytes.substr(0, imageData)) + stream.substr(ownStart, chunks.size());
  }
}

PngHead readPngHead(FileHead& head) {
  PngHead png;
  std::size_t imageData = 0;
  const std::size_t end = trustworthyEnd(head, imageData);
  Stream stream{head.bytes().substr(0, end)};
  png.whole = readInfo(&stream, &png);
  png.imageData = imageData;
  if (png.rawProfileExif && imageData > 0) png.beforeImageData.assign(head.bytes().substr(0, imageData));
  return png;
}

}  // namespace shotsieve::folder
