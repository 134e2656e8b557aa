#include "image_fixtures.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <exiv2/exiv2.hpp>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace shotsieve::testing {

namespace {

void putBig32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

std::uint32_t crcOf(const std::string& typeAndData) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(typeAndData.data()), static_cast<uInt>(typeAndData.size())));
}

void putChunk(std::string& out, const std::string& type, const std::string& data) { out += pngChunk(type, data); }

// The compressed image data of an all-black RGB image, made once per size.
const std::string& blackImageData(std::uint32_t width, std::uint32_t height) {
  static std::mutex mutex;
  static std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> cache;
  std::lock_guard lock(mutex);
  auto& data = cache[{width, height}];
  if (data.empty()) {
    const std::string raw((std::size_t{width} * 3 + 1) * height, '\0');
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    data.resize(size);
    compress2(reinterpret_cast<Bytef*>(data.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
              static_cast<uLong>(raw.size()), 1);
    data.resize(size);
  }
  return data;
}

// CRC of a chunk type followed by `count` bytes of `fill`.
std::uint32_t crcOfFill(const std::string& type, std::uint64_t count, char fill) {
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), static_cast<uInt>(type.size()));
  const std::string zeros(1 << 16, fill);
  while (count > 0) {
    const auto step = static_cast<uInt>(std::min<std::uint64_t>(count, zeros.size()));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(zeros.data()), step);
    count -= step;
  }
  return static_cast<std::uint32_t>(crc);
}

// Bytes, then a run of `fill` bytes: a hole when the fill is zero.
struct Piece {
  std::string bytes;
  std::uint64_t zeros = 0;
  char fill = '\0';
};

void writePieces(const std::string& path, const std::vector<Piece>& pieces) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  off_t at = 0;
  for (const auto& piece : pieces) {
    std::string data = piece.bytes;
    if (piece.fill != '\0') data.append(piece.zeros, piece.fill);
    if (!data.empty() && ::pwrite(fd, data.data(), data.size(), at) != static_cast<ssize_t>(data.size())) {
      ::close(fd);
      throw std::runtime_error("cannot write " + path);
    }
    at += static_cast<off_t>(data.size() + (piece.fill != '\0' ? 0 : piece.zeros));
  }
  if (::ftruncate(fd, at) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot size " + path);
  }
  ::close(fd);
}

std::string flatten(const std::vector<Piece>& pieces) {
  std::string out;
  for (const auto& piece : pieces) {
    out += piece.bytes;
    out.append(piece.zeros, piece.fill);
  }
  return out;
}

std::string signatureAndHeader(std::uint32_t width, std::uint32_t height) {
  std::string head("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  putBig32(header, width);
  putBig32(header, height);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
  putChunk(head, "IHDR", header);
  return head;
}

std::vector<Piece> pngPieces(const PngFixture& image) {
  std::string head = signatureAndHeader(image.width, image.height);
  for (const auto& [key, value] : image.texts) putChunk(head, "tEXt", key + '\0' + value);
  if (!image.exif.empty()) putChunk(head, "eXIf", image.exif);
  if (!image.xmp.empty()) putChunk(head, "iTXt", std::string("XML:com.adobe.xmp") + '\0' + '\0' + '\0' + '\0' + '\0' + image.xmp);
  putChunk(head, "IDAT", blackImageData(image.width, image.height));
  std::vector<Piece> pieces{{head, 0}};
  if (image.padding > 0) {
    std::string length;
    putBig32(length, static_cast<std::uint32_t>(image.padding));
    const char fill = image.densePadding ? '\x55' : '\0';
    pieces.push_back({length + "prVt", image.padding, fill});
    std::string crc;
    putBig32(crc, crcOfFill("prVt", image.padding, fill));
    pieces.push_back({crc, 0});
  }
  std::string end;
  putChunk(end, "IEND", "");
  pieces.push_back({end, 0});
  return pieces;
}

void putSegment(std::string& out, unsigned char marker, const std::string& data) {
  out += '\xFF';
  out += static_cast<char>(marker);
  const std::size_t length = data.size() + 2;
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xFF);
  out += data;
}

std::vector<Piece> jpegPieces(const JpegFixture& image) {
  std::string head("\xFF\xD8", 2);
  if (const std::string exif = exifPayload(image); !exif.empty()) putSegment(head, 0xE1, std::string("Exif\0\0", 6) + exif);
  if (image.rating != 0) {
    putSegment(head, 0xE1, std::string("http://ns.adobe.com/xap/1.0/") + '\0' + xmpWithRating(image.rating));
  }
  std::string frame("\x08", 1);
  frame += static_cast<char>(image.height >> 8);
  frame += static_cast<char>(image.height & 0xFF);
  frame += static_cast<char>(image.width >> 8);
  frame += static_cast<char>(image.width & 0xFF);
  frame += std::string("\x01\x01\x11\x00", 4);
  putSegment(head, 0xC0, frame);
  putSegment(head, 0xDA, std::string("\x01\x01\x00\x00\x3F\x00", 6));
  return {{head, image.padding + 16}, {std::string("\xFF\xD9", 2), 0}};
}

}  // namespace

std::string pngChunk(const std::string& type, const std::string& data) {
  std::string out;
  putBig32(out, static_cast<std::uint32_t>(data.size()));
  const std::string body = type + data;
  out += body;
  putBig32(out, crcOf(body));
  return out;
}

std::string exifPayload(const JpegFixture& metadata) {
  Exiv2::ExifData exif;
  if (!metadata.dateTimeOriginal.empty()) exif["Exif.Photo.DateTimeOriginal"] = metadata.dateTimeOriginal;
  if (!metadata.offsetTimeOriginal.empty()) exif["Exif.Photo.OffsetTimeOriginal"] = metadata.offsetTimeOriginal;
  if (!metadata.userComment.empty()) exif["Exif.Photo.UserComment"] = "charset=Ascii " + metadata.userComment;
  if (exif.empty()) return {};
  Exiv2::Blob blob;
  Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
  return std::string(blob.begin(), blob.end());
}

std::string xmpWithRating(int rating) {
  Exiv2::XmpParser::initialize();
  Exiv2::XmpData xmp;
  xmp["Xmp.xmp.Rating"] = std::to_string(rating);
  std::string packet;
  Exiv2::XmpParser::encode(packet, xmp);
  return packet;
}

void addMetadata(const std::string& path, const JpegFixture& metadata) {
  auto image = Exiv2::ImageFactory::open(path);
  image->readMetadata();
  Exiv2::ExifData& exif = image->exifData();
  if (!metadata.dateTimeOriginal.empty()) exif["Exif.Photo.DateTimeOriginal"] = metadata.dateTimeOriginal;
  if (!metadata.offsetTimeOriginal.empty()) exif["Exif.Photo.OffsetTimeOriginal"] = metadata.offsetTimeOriginal;
  if (!metadata.userComment.empty()) exif["Exif.Photo.UserComment"] = "charset=Ascii " + metadata.userComment;
  if (metadata.rating != 0) {
    Exiv2::XmpParser::initialize();
    image->xmpData()["Xmp.xmp.Rating"] = std::to_string(metadata.rating);
  }
  image->writeMetadata();
}

bool runTool(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string pngHeaderOnly(std::uint32_t width, std::uint32_t height) { return signatureAndHeader(width, height); }

std::string pngBytes(const PngFixture& image) { return flatten(pngPieces(image)); }
std::string jpegBytes(const JpegFixture& image) { return flatten(jpegPieces(image)); }
void writePng(const std::string& path, const PngFixture& image) { writePieces(path, pngPieces(image)); }
void writeJpeg(const std::string& path, const JpegFixture& image) { writePieces(path, jpegPieces(image)); }

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  if (!file) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace shotsieve::testing
