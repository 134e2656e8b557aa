#include "photos/folder/metadata/webp_head.h"

#include <algorithm>
#include <string_view>

#include "photos/folder/metadata/byte_source.h"
#include "photos/folder/metadata/descriptor_io.h"

namespace shotsieve::folder {

namespace {

// Far more chunks than a real file has; a hostile one is walked no further.
constexpr int kMostChunks = 4096;
// What follows the image data is read whole up to this size, in one step:
// Exif and XMP, rarely more.
constexpr std::uint64_t kMostAfterImage = 256 * 1024;
// Larger than any real Exif or XMP: a chunk that claims more is not read.
constexpr std::uint64_t kMostMetadata = std::uint64_t{16} << 20;

std::uint32_t little(std::string_view bytes, std::size_t at, std::size_t width) {
  return static_cast<std::uint32_t>(decodeNumber(bytes.substr(at, width), true));
}

// The size as exiv2 reads it from the first chunk that gives one.
bool takeSize(std::string_view kind, std::string_view data, WebpHead& webp) {
  if (kind == "VP8X" && data.size() >= 10) {
    webp.width = little(data, 4, 3) + 1;
    webp.height = little(data, 7, 3) + 1;
  } else if (kind == "VP8 " && data.size() >= 10) {
    webp.width = little(data, 6, 2) & 0x3FFF;
    webp.height = little(data, 8, 2) & 0x3FFF;
  } else if (kind == "VP8L" && data.size() >= 5) {
    const std::uint32_t bits = little(data, 1, 4);
    webp.width = (bits & 0x3FFF) + 1;
    webp.height = ((bits >> 14) & 0x3FFF) + 1;
  } else if (kind == "ANMF" && data.size() >= 12) {
    webp.width = little(data, 6, 3) + 1;
    webp.height = little(data, 9, 3) + 1;
  } else {
    return false;
  }
  return true;
}

}  // namespace

WebpHead readWebpHead(FileHead& head) {
  WebpHead webp;
  if (!head.have(20)) return webp;
  const std::string_view start = head.bytes();
  // A file shorter than it says, or a chunk that runs past its end, is cut
  // short: nothing of it is taken, as exiv2 takes nothing of it either.
  const std::uint64_t end = 8 + std::uint64_t{little(start, 4, 4)};
  if (end > head.fileSize()) return webp;
  DescriptorIo io(head.fd(), head.fileSize(), std::string(start));
  const auto bytesAt = [&](std::uint64_t offset, std::uint64_t length) {
    std::string out(static_cast<std::size_t>(std::min(length, end - std::min(offset, end))), '\0');
    if (io.seek(static_cast<long>(offset), Exiv2::BasicIo::beg) != 0) return std::string();
    out.resize(static_cast<std::size_t>(std::max(0L, io.read(reinterpret_cast<Exiv2::byte*>(out.data()),
                                                               static_cast<long>(out.size())))));
    return out;
  };
  bool sized = false, pastImage = false;
  std::uint64_t at = 12;
  for (int chunks = 0; chunks < kMostChunks && at + 8 <= end; ++chunks) {
    // Past the image data, the rest is read at once: the metadata chunks.
    if (pastImage && at >= head.bytes().size()) {
      bytesAt(at, std::min(end - at, kMostAfterImage));
      pastImage = false;
    }
    const std::string header = bytesAt(at, 8);
    if (header.size() < 8) break;
    const std::string_view kind = std::string_view(header).substr(0, 4);
    const std::uint64_t size = little(header, 4, 4);
    const std::uint64_t data = at + 8;
    if (size > end - data) return WebpHead{};
    if (!sized && (kind == "VP8X" || kind == "VP8 " || kind == "VP8L" || kind == "ANMF")) {
      sized = takeSize(kind, bytesAt(data, std::min<std::uint64_t>(size, 12)), webp);
    }
    if (kind == "EXIF" && webp.exif.empty() && size <= kMostMetadata) {
      webp.exif = bytesAt(data, size);
      if (webp.exif.starts_with(std::string_view("Exif\0\0", 6))) webp.exif.erase(0, 6);
    } else if (kind == "XMP " && webp.xmp.empty() && size <= kMostMetadata) {
      webp.xmp = bytesAt(data, size);
    }
    if (kind == "VP8 " || kind == "VP8L" || kind == "ANMF") pastImage = true;
    at = data + size + (size & 1);
  }
  return webp;
}

}  // namespace shotsieve::folder
