#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "photos/folder/metadata/metadata_index.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// A file below the library root whose extension makes it an asset.
struct LibraryFile {
  std::string relativePath;  // raw bytes, "/"-separated
  std::string absolutePath;  // below the resolved root
  std::string contentPath;   // where the bytes are: the file, or a link's target inside the root
  int mediaType = kImageMediaType;
  bool inScreenshotFolder = false;
  int folderFd = -1;  // the open folder during a walk, so the status needs no path lookup
};

// The media type of a file name by its extension, if it is an asset at all.
std::optional<int> mediaTypeOfName(std::string_view fileName);

// Visits every asset file below the root at any depth, in no set order. Hidden
// entries, symbolic links to folders and folders that hold a cache tag
// (CACHEDIR.TAG, as export directories do) are skipped, and so are links to
// files that do not resolve to a regular file inside the root; a missing root
// or an unreadable folder yields nothing. `wantedType` skips other media types
// before any file is examined. Paths are built on the resolved root.
// `enterFolder`, when given, is told of each folder below the root (by its
// path relative to the root) before the walk enters it.
void walkLibrary(const std::string& root, std::optional<int> wantedType,
                 const std::function<void(const LibraryFile&)>& visit,
                 const std::function<void(const std::string& relativeFolder)>& enterFolder = {});

// The library file at a path relative to the resolved root, if it is an
// asset file that the walk would visit.
std::optional<LibraryFile> libraryFileAt(const std::string& resolvedRoot, const std::string& relativePath);

// What the file system says of a file (a link's target, for a link), read
// once; a file that has turned into a link since is not regular.
struct FileStatus {
  FileStamp stamp;
  std::int64_t birthNanoseconds = 0;  // modification time where there is no birth time
  std::int64_t modifiedNanoseconds = 0;
  bool regular = false;
};
std::optional<FileStatus> statusOfFile(const std::string& absolutePath);
std::optional<FileStatus> statusOfFile(const LibraryFile& file);

// The asset of a file: identifier and dates from its status, the rest from
// the facts read from its data. Nothing when the content is not of the media
// type its name promises (text or random bytes under an image name are no
// asset), or when `select` is given and does not select it; the identifier is
// only worked out for an asset that is kept.
std::optional<Asset> assetOfFacts(const LibraryFile& file, const FileStatus& status, const ImageFacts& facts,
                                  const FetchOptions* select = nullptr);

// The same, with the facts through the index, so unchanged files are not read again.
std::optional<Asset> assetOfFile(const LibraryFile& file, const FileStatus& status, MetadataIndex& index,
                                 ImageFacts* factsOut = nullptr);

// How far before a fetch's earliest date a file's own times may lie and its
// capture time still fall inside: a file is written after it is captured, so
// only a camera clock that was wrong by more than this makes a difference.
inline constexpr std::int64_t kFileTimeMarginNanoseconds = 48LL * 3600 * 1000000000;

// True when the file's birth and modification times both lie more than the
// margin before `earliest` (seconds since the epoch): it cannot be created
// inside the window and needs no reading for that fetch.
bool fileTimesRuleOut(const FileStatus& status, double earliest);

// The identifier alone, from the status; reads no data.
std::string identifierOfFile(const LibraryFile& file, const FileStatus& status);

}  // namespace shotsieve::folder
