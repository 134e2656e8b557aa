#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "photos/folder/metadata/index_file.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// What the file system says of a file (a link's target, for a link), read
// once; a file that has turned into a link since is not regular.
struct FileStatus {
  FileStamp stamp;                    // its birth time 0 where the file system keeps none
  std::int64_t birthNanoseconds = 0;  // modification time where there is no birth time
  std::int64_t modifiedNanoseconds = 0;
  std::uint64_t links = 1;
  bool regular = false;
  bool link = false;  // read without following it
};
std::optional<FileStatus> statusOfFile(const std::string& absolutePath);
std::optional<FileStatus> statusOfFile(const LibraryFile& file);
// Of `name` inside an open folder, without following a link.
std::optional<FileStatus> statusInFolder(int folderFd, const std::string& name);

// The file's content opened for reading: through its folder's handle where
// there is one (so a path longer than PATH_MAX is no obstacle), else by path;
// never through a link but the one a link file itself is.
UniqueFd openContent(const LibraryFile& file);

// How far before a fetch's earliest date a file's own times may lie and its
// capture time still fall inside: a file is written after it is captured, so
// only a camera clock that was wrong by more than this makes a difference.
inline constexpr std::int64_t kFileTimeMarginNanoseconds = 48LL * 3600 * 1000000000;

// True when the file's birth and modification times both lie more than the
// margin before `earliest` (seconds since the epoch): it cannot be created
// inside the window and needs no reading for that fetch.
bool fileTimesRuleOut(const FileStatus& status, double earliest);

}  // namespace shotsieve::folder
