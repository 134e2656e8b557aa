#include "photos/folder/metadata/image_metadata.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "photos/folder/metadata/date_text.h"
#include "photos/folder/metadata/file_format.h"
#include "photos/no_link_open.h"
#include "photos/photo_library.h"
#include "photos/folder/scan/screenshot_names.h"

namespace shotsieve::folder {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// ---- PNG, through libpng ----------------------------------------------------

struct PngTexts {
  png_uint_32 width = 0, height = 0;
  std::string software, creationTime, xmp;
  bool hasExif = false;
};

constexpr std::uint64_t kMaxPngChunkBytes = 16 << 20;

[[noreturn]] void pngFailed(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// The stream libpng reads, ending where the first chunk before the image
// data claims more than kMaxPngChunkBytes or more than the file holds: libpng
// allocates a chunk's declared length before it reads it, so a hostile length
// would cost gigabytes. The file then reads as cut short there.
struct PngStream {
  std::FILE* file;
  std::uint64_t end;
  std::uint64_t at = 0;
};

std::uint64_t trustworthyPngEnd(std::FILE* file) {
  struct stat info;
  if (::fstat(::fileno(file), &info) != 0) return 0;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  for (std::uint64_t at = 8; at + 8 <= size;) {
    unsigned char header[8];
    if (::pread(::fileno(file), header, 8, static_cast<off_t>(at)) != 8) return at;
    const std::uint64_t length = std::uint64_t{header[0]} << 24 | header[1] << 16 | header[2] << 8 | header[3];
    if (std::memcmp(header + 4, "IDAT", 4) == 0) return size;  // libpng stops at the image data
    if (length > kMaxPngChunkBytes || at + 12 + length > size) return at;
    at += 12 + length;
  }
  return size;
}

void readPngStream(png_structp png, png_bytep data, png_size_t length) {
  auto* stream = static_cast<PngStream*>(png_get_io_ptr(png));
  if (stream->at + length > stream->end || std::fread(data, 1, length, stream->file) != length) {
    png_error(png, "cut short");
  }
  stream->at += length;
}
void pngWarned(png_structp, png_const_charp) {}

// Reads the chunks before the image data. No C++ object with a destructor
// lives across the setjmp, as libpng's error path leaves through longjmp.
bool readPngTexts(PngStream* stream, PngTexts* out) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarned);
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
  png_set_read_fn(png, stream, readPngStream);
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
    if (key.starts_with("Raw profile type exif") || key.starts_with("Raw profile type APP1")) out->hasExif = true;
  }
#ifdef PNG_eXIf_SUPPORTED
  png_uint_32 exifLength = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &exifLength, &exif) != 0 && exifLength > 0) out->hasExif = true;
#endif
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// ---- Exif and XMP, through exiv2 ---------------------------------------------

// The XMP toolkit inside exiv2 is not thread-safe; exiv2 takes this lock
// around every use of it once it is handed the lock at set-up. Images of
// their own are read on several threads at once.
void lockXmp(void* mutex, bool lock) {
  if (lock) {
    static_cast<std::mutex*>(mutex)->lock();
  } else {
    static_cast<std::mutex*>(mutex)->unlock();
  }
}

void setUpExiv2Once() {
  static std::once_flag once;
  static std::mutex xmpMutex;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::LogMsg::setHandler(nullptr);
    Exiv2::XmpParser::initialize(lockXmp, &xmpMutex);
#ifdef EXV_ENABLE_BMFF
    Exiv2::enableBMFF(true);
#endif
  });
}

bool isScreenshotComment(std::string text) {
  if (text.starts_with("lang=")) {  // XMP alternative-language text
    const auto space = text.find(' ');
    text = space == std::string::npos ? std::string() : text.substr(space + 1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text.size() == 10 && strncasecmp(text.c_str(), "screenshot", 10) == 0;
}

void applyExif(const Exiv2::ExifData& exif, ImageFacts& facts) {
  const auto original = exif.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal"));
  if (original != exif.end() && !facts.captureDate) {
    std::string offset;
    const auto offsetDatum = exif.findKey(Exiv2::ExifKey("Exif.Photo.OffsetTimeOriginal"));
    if (offsetDatum != exif.end()) offset = offsetDatum->toString();
    facts.captureDate = parseDateText(original->toString(), offset);
  }
  const auto comment = exif.findKey(Exiv2::ExifKey("Exif.Photo.UserComment"));
  if (comment != exif.end()) {
    const auto* value = dynamic_cast<const Exiv2::CommentValue*>(&comment->value());
    if (value != nullptr && isScreenshotComment(value->comment())) facts.markedScreenshot = true;
  }
}

void applyXmp(const Exiv2::XmpData& xmp, ImageFacts& facts) {
  for (const char* key : {"Xmp.exif.DateTimeOriginal", "Xmp.photoshop.DateCreated", "Xmp.xmp.CreateDate"}) {
    if (facts.captureDate) break;
    const auto datum = xmp.findKey(Exiv2::XmpKey(key));
    if (datum != xmp.end()) facts.captureDate = parseDateText(datum->toString());
  }
  const auto rating = xmp.findKey(Exiv2::XmpKey("Xmp.xmp.Rating"));
  if (rating != xmp.end() && rating->toString() == "5") facts.favorite = true;
  const auto comment = xmp.findKey(Exiv2::XmpKey("Xmp.exif.UserComment"));
  if (comment != xmp.end() && isScreenshotComment(comment->toString())) facts.markedScreenshot = true;
}

// `open` gives the image, from a file name or from bytes in memory.
template <typename Open>
void readWithExiv2(const Open& open, ImageFacts& facts, bool takeSize) {
  try {
    auto image = open();
    if (image.get() == nullptr) return;
    image->readMetadata();
    if (takeSize) {
      // A BMP stored top-down has a negative height; the size is its magnitude.
      facts.width = std::abs(static_cast<std::int64_t>(image->pixelWidth()));
      facts.height = std::abs(static_cast<std::int64_t>(image->pixelHeight()));
      facts.headerRead = facts.width > 0 && facts.height > 0;
    }
    applyExif(image->exifData(), facts);
    applyXmp(image->xmpData(), facts);
  } catch (...) {  // Exiv2::AnyError, std::exception or anything else: the defaults stand
  }
}

void readPng(std::FILE* file, const std::string& path, ImageFacts& facts) {
  PngTexts texts;
  PngStream stream{file, trustworthyPngEnd(file)};
  const bool whole = readPngTexts(&stream, &texts);
  facts.width = texts.width;
  facts.height = texts.height;
  if (!whole) return;
  facts.headerRead = true;
  facts.width = texts.width;
  facts.height = texts.height;
  if (!texts.software.empty() && isScreenshotSoftware(texts.software)) facts.markedScreenshot = true;
  // Exif first, as for every format; libpng does not parse it, exiv2 does.
  if (texts.hasExif) readWithExiv2([&] { return Exiv2::ImageFactory::open(path); }, facts, false);
  if (!texts.xmp.empty()) {
    try {
      Exiv2::XmpData xmp;
      if (Exiv2::XmpParser::decode(xmp, texts.xmp) == 0) applyXmp(xmp, facts);
    } catch (...) {
    }
  }
  if (!facts.captureDate && !texts.creationTime.empty()) facts.captureDate = parseDateText(texts.creationTime);
}

// A stream over a regular file (no FIFOs or devices), or nothing.
File openRegular(UniqueFd fd) {
  struct stat info;
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  std::FILE* file = ::fdopen(fd.get(), "rb");
  if (file != nullptr) fd.release();  // the stream owns it now
  return File(file);
}

// exiv2 opens files by name. Handing it the descriptor's own name in /proc
// makes it read the file that was opened and checked, even if the path has
// been pointed elsewhere since (or is too long to open by name).
std::string nameForExiv2(std::FILE* file) { return "/proc/self/fd/" + std::to_string(::fileno(file)); }

// Larger than the metadata of any real JPEG (each segment holds at most 64 KiB).
constexpr std::size_t kMaxJpegHead = std::size_t{4} << 20;

// A JPEG up to its first scan, with an end marker after it: every segment
// exiv2 reads for the metadata and the size, without the image data, read in
// one or two calls. Nothing when the segments do not lead to a scan.
std::optional<std::string> jpegUpToScan(int fd) {
  std::string bytes;
  const auto have = [&](std::size_t end) {
    if (end > kMaxJpegHead) return false;
    while (bytes.size() < end) {
      const std::size_t from = bytes.size();
      bytes.resize(from + std::max<std::size_t>(end - from, 8 * 1024));
      const ssize_t got = ::pread(fd, bytes.data() + from, bytes.size() - from, static_cast<off_t>(from));
      bytes.resize(from + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
      if (got <= 0) break;
    }
    return bytes.size() >= end;
  };
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  for (std::size_t i = 2;;) {
    if (!have(i + 4) || at(i) != 0xFF) return std::nullopt;
    const unsigned marker = at(i + 1);
    if (marker == 0xFF) {  // fill before a marker
      ++i;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      i += 2;
      continue;
    }
    if (marker == 0xD9) return std::nullopt;  // an end before any scan
    const std::size_t end = i + 2 + (at(i + 2) << 8 | at(i + 3));
    if (!have(end)) return std::nullopt;
    if (marker == 0xDA) {
      bytes.resize(end);
      return bytes + "\xFF\xD9";
    }
    i = end;
  }
}

}  // namespace

ImageFacts readImageFacts(const std::string& absolutePath) {
  // exiv2 reads "-" and URLs otherwise; the descriptor is what it gets, but the path must be one.
  if (absolutePath.empty() || absolutePath.front() != '/') return ImageFacts{};
  return readImageFacts(UniqueFd(openWithoutLinks(absolutePath)));
}

ImageFacts readImageFacts(UniqueFd fd) {
  ImageFacts facts;
  File file = openRegular(std::move(fd));
  if (!file) return facts;
  std::array<char, kSniffBytes> head{};
  const std::size_t got = std::fread(head.data(), 1, head.size(), file.get());
  facts.format = sniffFileFormat(std::string_view(head.data(), got));
  if (mediaTypeOfFormat(facts.format) != kImageMediaType) return facts;
  setUpExiv2Once();
  const std::string name = nameForExiv2(file.get());
  if (facts.format == FileFormat::png) {
    std::rewind(file.get());
    readPng(file.get(), name, facts);
    return facts;
  }
  if (facts.format == FileFormat::jpeg) {
    if (const auto head = jpegUpToScan(::fileno(file.get()))) {
      const auto* data = reinterpret_cast<const Exiv2::byte*>(head->data());
      readWithExiv2([&] { return Exiv2::ImageFactory::open(data, static_cast<long>(head->size())); }, facts, true);
      return facts;
    }
  }
  readWithExiv2([&] { return Exiv2::ImageFactory::open(name); }, facts, true);
  return facts;
}

}  // namespace shotsieve::folder
