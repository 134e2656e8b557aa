#include "photos/folder/metadata/exif_facts.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "photos/folder/metadata/date_text.h"

namespace shotsieve::folder {

namespace {

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

}  // namespace

// The XMP toolkit, let go when this library is unloaded (a host's dlclose,
// or the end of the process): exiv2 would keep what it allocated past its
// own unloading.
struct XmpToolkit {
  XmpToolkit() { Exiv2::XmpParser::initialize(lockXmp, &mutex); }
  ~XmpToolkit() { Exiv2::XmpParser::terminate(); }
  std::mutex mutex;  // destroyed after the toolkit is let go
};

void setUpExiv2Once() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::LogMsg::setHandler(nullptr);
#ifdef EXV_ENABLE_BMFF
    Exiv2::enableBMFF(true);
#endif
  });
  static XmpToolkit toolkit;
}

namespace {

bool isScreenshotComment(std::string text) {
  if (text.starts_with("lang=")) {  // XMP alternative-language text
    const auto space = text.find(' ');
    text = space == std::string::npos ? std::string() : text.substr(space + 1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text.size() == 10 && strncasecmp(text.c_str(), "screenshot", 10) == 0;
}

}  // namespace

void applyExif(const Exiv2::ExifData& exif, ImageFacts& facts) {
  // One pass, by group and tag number: the first of each, as a search by key
  // would find, without making a key per datum.
  const Exiv2::Exifdatum* original = nullptr;  // Exif.Photo.DateTimeOriginal
  const Exiv2::Exifdatum* offset = nullptr;    // Exif.Photo.OffsetTimeOriginal
  const Exiv2::Exifdatum* comment = nullptr;   // Exif.Photo.UserComment
  for (const auto& datum : exif) {
    if (std::strcmp(datum.ifdName(), "Exif") != 0) continue;  // the group of Exif.Photo.*
    const auto tag = datum.tag();
    if (tag == 0x9003 && original == nullptr) original = &datum;
    if (tag == 0x9011 && offset == nullptr) offset = &datum;
    if (tag == 0x9286 && comment == nullptr) comment = &datum;
  }
  if (original != nullptr && !facts.captureDate) {
    facts.captureDate = parseDateText(original->toString(), offset != nullptr ? offset->toString() : std::string());
  }
  if (comment != nullptr) {
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

void applyExifBytes(std::string_view tiff, ImageFacts& facts) {
  try {
    Exiv2::ExifData exif;
    Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(tiff.data()), static_cast<std::uint32_t>(tiff.size()));
    applyExif(exif, facts);
  } catch (...) {  // Exiv2::AnyError, std::exception or anything else: the defaults stand
  }
}

void applyXmpPacket(const std::string& packet, ImageFacts& facts, XmpPart part) {
  // Decoding XMP is costly, and what is looked at must be named in the packet.
  bool named = false;
  for (const char* name : {"DateTimeOriginal", "DateCreated", "CreateDate", "Rating", "UserComment"}) {
    if (part == XmpPart::allButMarks && std::string_view(name) == "UserComment") continue;
    named = named || packet.find(name) != std::string::npos;
  }
  if (!named) return;
  try {
    Exiv2::XmpData xmp;
    if (Exiv2::XmpParser::decode(xmp, packet) == 0) applyXmp(xmp, facts);
  } catch (...) {
  }
}

void readWithExiv2(const std::function<Exiv2::Image::AutoPtr()>& open, ImageFacts& facts, TakeSize takeSize) {
  try {
    auto image = open();
    if (image.get() == nullptr) return;
    image->readMetadata();
    if (takeSize == TakeSize::yes) {
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

}  // namespace shotsieve::folder
