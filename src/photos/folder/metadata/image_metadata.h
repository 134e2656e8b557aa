#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "photos/folder/metadata/file_format.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// What the folder library reads from inside a file.
struct ImageFacts {
  FileFormat format = FileFormat::unknown;  // by content; unknown for no image or video at all
  bool headerRead = false;  // the format was recognised and its header parsed
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::optional<double> captureDate;  // Exif, then XMP, then PNG "Creation Time"
  bool favorite = false;              // xmp:Rating 5
  bool markedScreenshot = false;      // screenshot tool in "Software", or a "Screenshot" user comment
  // Only what could mark the file as a screenshot was looked at, and nothing
  // did: the rest (size, dates, rating) was left unread.
  bool marksOnly = false;
  // Whether the metadata marks a screenshot was not looked at where only that
  // could tell (markedScreenshot may be false while the file says otherwise).
  bool marksUnread = false;
};

// What a reader needs to know of a file. A query of screenshots needs, of a
// file whose folder and name do not make it one, only whether its metadata
// marks it as one (unless it does, the file is left out whatever else it
// says): a query over a folder of camera photos decodes none of their Exif.
// Of a file whose folder or name does make it one, it needs all but that.
enum class Need { everything, screenshotMarks, allButMarks };

// How much of a file the metadata parsers are given: its head, as far as
// the metadata goes (a PNG's chunks before the image data, a JPEG's segments
// before the first scan), or for a comparison, the whole file. The answers
// are the same; a test compares them.
enum class ReadDepth { head, wholeFile };

// Reads the facts of one untrusted file, by absolute path, opened without
// following links: its format by content and, for an image, what its header
// and metadata say. Never throws and never prints; a file that no parser
// accepts gives the defaults, with the format its first bytes show.
ImageFacts readImageFacts(const std::string& absolutePath, ReadDepth depth = ReadDepth::head,
                          Need need = Need::everything);

// The same for a file opened by the caller.
ImageFacts readImageFacts(UniqueFd file, ReadDepth depth = ReadDepth::head, Need need = Need::everything);

// The same for a file the caller has just found regular and `size` bytes
// long, so it is not asked again. Should it have been swapped for anything
// else since, reading it fails and gives the defaults: no parser ever sees
// bytes that were not read from it.
ImageFacts readImageFacts(UniqueFd file, std::uint64_t size, ReadDepth depth, Need need);

// The same, reading a descriptor the caller keeps.
ImageFacts readImageFactsOf(int file, std::uint64_t size, ReadDepth depth, Need need);

// What the watcher needs of a new file, in one look: its facts, and whether
// its image data is complete (imageStructureIsWhole), judged on the bytes
// read for the facts where they reach (a PNG's head and tail are read once).
struct ImageLook {
  ImageFacts facts;
  bool whole = false;
};
ImageLook lookAtImage(int file, std::uint64_t size);

}  // namespace shotsieve::folder
