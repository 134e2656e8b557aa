#include "photos/folder/metadata/image_metadata.h"

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "photos/folder/metadata/byte_source.h"
#include "photos/folder/metadata/date_text.h"
#include "photos/folder/metadata/descriptor_io.h"
#include "photos/folder/metadata/exif_facts.h"
#include "photos/folder/metadata/file_format.h"
#include "photos/folder/metadata/file_head.h"
#include "photos/folder/metadata/image_wholeness.h"
#include "photos/folder/metadata/png_head.h"
#include "photos/folder/metadata/webp_head.h"
#include "photos/folder/scan/screenshot_names.h"
#include "photos/no_link_open.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

namespace {

// Larger than the metadata of any real image: a JPEG's segments hold at most
// 64 KiB each, a PNG's chunks before the image data 16 MiB each.
constexpr std::size_t kMaxHead = std::size_t{32} << 20;

// exiv2 over the whole file. It opens files by name: handing it the
// descriptor's own name in /proc makes it read the file that was opened and
// checked, even if the path has been pointed elsewhere since (or is too long
// to open by name).
std::function<Exiv2::Image::AutoPtr()> wholeFile(int fd) {
  return [fd] { return Exiv2::ImageFactory::open("/proc/self/fd/" + std::to_string(fd)); };
}

// A JPEG up to its first scan, with an end marker after it: every segment
// exiv2 reads for the metadata and the size, without the image data.
// Nothing when the segments do not lead to a scan.
std::optional<std::string> jpegUpToScan(FileHead& head) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(head.bytes()[i]); };
  for (std::size_t i = 2;;) {
    if (!head.have(i + 4) || at(i) != 0xFF) return std::nullopt;
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
    if (!head.have(end)) return std::nullopt;
    if (marker == 0xDA) return std::move(head).take(end) + "\xFF\xD9";
    i = end;
  }
}

// True when the bytes hold the word "screenshot" (without its first letter,
// in any case) in one byte a letter or in two, either byte order: the only
// way Exif or XMP can mark a screenshot.
bool mayMarkScreenshot(std::string_view bytes) {
  constexpr std::string_view kWord = "creenshot";
  const auto spelled = [&](std::size_t start, std::size_t stride) {
    if (start + (kWord.size() - 1) * stride >= bytes.size()) return false;
    for (std::size_t i = 1; i < kWord.size(); ++i) {
      if ((bytes[start + i * stride] | 0x20) != kWord[i]) return false;
    }
    return true;
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if ((bytes[i] | 0x20) == 'c' && (spelled(i, 1) || spelled(i, 2))) return true;
  }
  return false;
}

// Whether a PNG's chunks before its image data give a date. Those that do
// not may have theirs after it, and are read at their end too; whatever the
// query, so that every query reads a file alike.
bool pngDated(const PngHead& png) {
  return !png.creationTime.empty() || !png.exif.empty() || png.rawProfileExif ||
         png.xmp.find("Date") != std::string::npos;
}

void readPng(FileHead& head, ReadDepth depth, Need need, ImageFacts& facts) {
  PngHead png = readPngHead(head);
  facts.width = png.width;
  facts.height = png.height;
  if (!png.whole) return;
  if (!pngDated(png)) readPngAfterImageData(head, png);
  facts.headerRead = true;
  if (!png.software.empty() && isScreenshotSoftware(png.software)) facts.markedScreenshot = true;
  if (need == Need::screenshotMarks && !facts.markedScreenshot && !png.rawProfileExif && !mayMarkScreenshot(png.exif) &&
      !mayMarkScreenshot(png.xmp)) {
    facts.marksOnly = true;
    return;
  }
  // Exif first, as for every format; libpng does not parse it, exiv2 does.
  if (depth == ReadDepth::wholeFile && (!png.exif.empty() || png.rawProfileExif)) {
    readWithExiv2(wholeFile(head.fd()), facts, TakeSize::no);
  } else if (!png.exif.empty()) {
    applyExifBytes(png.exif, facts);
  } else if (png.rawProfileExif) {  // exiv2 decodes the hex of a raw profile: it gets the chunks that hold it
    const std::string bytes = png.beforeImageData + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    readWithExiv2([&] { return Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(bytes.data()),
                                                          static_cast<long>(bytes.size())); },
                  facts, TakeSize::no);
  }
  if (!png.xmp.empty()) {
    if (need == Need::allButMarks && png.xmp.find("UserComment") != std::string::npos) facts.marksUnread = true;
    applyXmpPacket(png.xmp, facts, need == Need::allButMarks ? XmpPart::allButMarks : XmpPart::all);
  }
  if (!facts.captureDate && !png.creationTime.empty()) facts.captureDate = parseDateText(png.creationTime);
}

void readJpeg(FileHead& head, ReadDepth depth, Need need, ImageFacts& facts) {
  if (depth == ReadDepth::head) {
    if (const auto bytes = jpegUpToScan(head)) {
      if (need == Need::screenshotMarks && !mayMarkScreenshot(*bytes)) {
        facts.marksOnly = true;
        return;
      }
      // Known to be a JPEG: exiv2 is spared trying every other format first.
      readWithExiv2([&] {
        return Exiv2::newJpegInstance(Exiv2::BasicIo::AutoPtr(new Exiv2::MemIo(
                                          reinterpret_cast<const Exiv2::byte*>(bytes->data()), static_cast<long>(bytes->size()))),
                                      false);
      }, facts, TakeSize::yes);
      return;
    }
  }
  readWithExiv2(wholeFile(head.fd()), facts, TakeSize::yes);
}

void readWebp(FileHead& head, Need need, ImageFacts& facts) {
  const WebpHead webp = readWebpHead(head);
  facts.width = webp.width;
  facts.height = webp.height;
  facts.headerRead = webp.width > 0 && webp.height > 0;
  if (need == Need::screenshotMarks && !mayMarkScreenshot(webp.exif) && !mayMarkScreenshot(webp.xmp)) {
    facts.marksOnly = true;
    return;
  }
  if (!webp.exif.empty()) applyExifBytes(webp.exif, facts);
  if (!webp.xmp.empty()) {
    if (need == Need::allButMarks && webp.xmp.find("UserComment") != std::string::npos) facts.marksUnread = true;
    applyXmpPacket(webp.xmp, facts, need == Need::allButMarks ? XmpPart::allButMarks : XmpPart::all);
  }
}

// exiv2 walks the file through the descriptor, from the head already read.
// A TIFF says in its header where its first directory lies, often at the
// end, after the image data: that is asked for at once, beside the walk.
void readThroughDescriptor(FileHead& head, ImageFacts& facts) {
  const std::string_view bytes = head.bytes();
  auto io = std::make_unique<DescriptorIo>(head.fd(), head.fileSize(), std::string(bytes));
  if (bytes.size() >= 8 && (bytes.starts_with("II") || bytes.starts_with("MM"))) {
    const auto directory = decodeNumber(bytes.substr(4, 4), bytes[0] == 'I');
    if (directory + 2 > bytes.size()) io->willNeed(directory, DescriptorIo::kPiece);
  }
  readWithExiv2([&] { return Exiv2::ImageFactory::open(Exiv2::BasicIo::AutoPtr(io.release())); }, facts, TakeSize::yes);
}

}  // namespace

ImageFacts readImageFacts(const std::string& absolutePath, ReadDepth depth, Need need) {
  // exiv2 reads "-" and URLs otherwise; the descriptor is what it gets, but the path must be one.
  if (absolutePath.empty() || absolutePath.front() != '/') return ImageFacts{};
  return readImageFacts(UniqueFd(openWithoutLinks(absolutePath)), depth, need);
}

ImageFacts readImageFacts(UniqueFd fd, ReadDepth depth, Need need) {
  struct stat info;
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return ImageFacts{};  // no FIFOs or devices
  return readImageFacts(std::move(fd), static_cast<std::uint64_t>(info.st_size), depth, need);
}

ImageFacts readImageFacts(UniqueFd fd, std::uint64_t size, ReadDepth depth, Need need) {
  return readImageFactsOf(fd.get(), size, depth, need);
}

namespace {

void readFactsFrom(FileHead& head, ReadDepth depth, Need need, ImageFacts& facts) {
  const int fd = head.fd();
  head.have(kSniffBytes);
  facts.format = sniffFileFormat(head.bytes().substr(0, kSniffBytes));
  if (mediaTypeOfFormat(facts.format) != kImageMediaType) return;
  setUpExiv2Once();
  switch (facts.format) {
    case FileFormat::png:
      readPng(head, depth, need, facts);
      break;
    case FileFormat::jpeg:
      readJpeg(head, depth, need, facts);
      break;
    case FileFormat::webp:
      if (depth == ReadDepth::head) {
        readWebp(head, need, facts);
      } else {
        readWithExiv2(wholeFile(fd), facts, TakeSize::yes);
      }
      break;
    default:  // GIF, TIFF, BMP, HEIF, AVIF: exiv2 finds its way through the file
      if (depth == ReadDepth::head) {
        readThroughDescriptor(head, facts);
      } else {
        readWithExiv2(wholeFile(fd), facts, TakeSize::yes);
      }
      break;
  }
}

}  // namespace

ImageFacts readImageFactsOf(int fd, std::uint64_t size, ReadDepth depth, Need need) {
  ImageFacts facts;
  if (fd < 0) return facts;
  FileHead head(fd, size, kMaxHead);
  readFactsFrom(head, depth, need, facts);
  return facts;
}

ImageLook lookAtImage(int fd, std::uint64_t size) {
  ImageLook look;
  if (fd < 0) return look;
  FileHead head(fd, size, kMaxHead);
  readFactsFrom(head, ReadDepth::head, Need::everything, look.facts);
  HeldBytes bytes(head);
  look.whole = imageStructureIsWhole(bytes);
  return look;
}

}  // namespace shotsieve::folder
