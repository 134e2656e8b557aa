#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "photos/photo_library.h"

namespace shotsieve::folder {

// Where a folder lies relative to the library root, both resolved through
// links: a folder below the root is inside the library unless the walk passes
// over it (a hidden folder, one below a folder that holds a cache tag, or one
// deeper than the walk goes).
FolderPlace folderPlace(const std::string& libraryRoot, const std::string& folder);

// What identifies a file's data as it is now, for the copies made of it: its
// inode, size, modification and change times (nobody can set the last), as
// text, with the change time and the size alone. Nothing when the file cannot be looked at.
struct ContentVersion {
  std::string text;
  std::int64_t changedNanoseconds = 0;
  std::uint64_t size = 0;
};
std::optional<ContentVersion> contentVersionOf(const std::string& libraryRoot, const std::string& path);

}  // namespace shotsieve::folder
