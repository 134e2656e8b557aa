#pragma once

#include <exiv2/exiv2.hpp>

#include <functional>
#include <string>
#include <string_view>

#include "photos/folder/metadata/image_metadata.h"

namespace shotsieve::folder {

// Sets exiv2 up once for the process: quiet, its XMP toolkit serialised by a
// lock of ours (it is not thread-safe; images of their own are read on
// several threads at once), HEIF/AVIF read.
void setUpExiv2Once();

// What Exif and XMP say, added to the facts: the capture time (Exif
// DateTimeOriginal with its offset, then XMP creation dates), a five-star
// rating, a "Screenshot" user comment.
void applyExif(const Exiv2::ExifData& exif, ImageFacts& facts);
void applyXmp(const Exiv2::XmpData& xmp, ImageFacts& facts);

// Exif in TIFF form (a PNG eXIf chunk's data), and an XMP packet; bytes that
// exiv2 rejects leave the facts as they are.
// With XmpPart::allButMarks, a packet that names nothing else is not decoded.
enum class XmpPart { all, allButMarks };
void applyExifBytes(std::string_view tiff, ImageFacts& facts);
void applyXmpPacket(const std::string& packet, ImageFacts& facts, XmpPart part = XmpPart::all);

// Reads an image with exiv2 (made by `open`, from a name or from bytes in
// memory) and adds what its Exif and XMP say, and with `takeSize` its pixel
// size. Every exception leaves the facts as they were.
enum class TakeSize { yes, no };
void readWithExiv2(const std::function<Exiv2::Image::AutoPtr()>& open, ImageFacts& facts, TakeSize takeSize);

}  // namespace shotsieve::folder
