#include "photos/folder/metadata/png_head.h"

#include <png.h>

#include <cstring>
#include <string_view>

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

}  // namespace

PngHead readPngHead(FileHead& head) {
  PngHead png;
  std::size_t imageData = 0;
  const std::size_t end = trustworthyEnd(head, imageData);
  Stream stream{head.bytes().substr(0, end)};
  png.whole = readInfo(&stream, &png);
  if (png.rawProfileExif && imageData > 0) png.beforeImageData.assign(head.bytes().substr(0, imageData));
  return png;
}

}  // namespace shotsieve::folder
