#include "photos/folder/scan/folder_place.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <limits.h>

#include <cinttypes>
#include <cstdio>

#include "photos/cache_tag.h"
#include "photos/file_time.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/folder/scan/link_target.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

bool tagged(const std::string& folder) {
  const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && hasCacheTag(fd.get());
}

// True when the walk over the root reads the folder, which lies below it.
bool walkReaches(const std::string& root, const std::string& folder) {
  for (std::size_t slash = root.size(); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    const std::size_t end = folder.find('/', slash + 1);
    const std::string_view name = std::string_view(folder).substr(slash + 1, end - slash - 1);
    if (walkSkipsName(name)) return false;
    if (tagged(folder.substr(0, end))) return false;
  }
  return true;
}

}  // namespace

FolderPlace folderPlace(const std::string& libraryRoot, const std::string& folder) {
  const std::string root = resolvedLibraryRoot(libraryRoot);
  const std::string resolved = resolvedLibraryRoot(folder);
  if (root.empty() || resolved.empty()) return FolderPlace::outside;
  if (resolved == root) return FolderPlace::libraryRoot;
  if (resolved == "/" || root.starts_with(resolved + "/")) return FolderPlace::aboveLibrary;
  const std::string below = root == "/" ? root : root + "/";
  if (!resolved.starts_with(below)) return FolderPlace::outside;
  return walkReaches(root == "/" ? "" : root, resolved) ? FolderPlace::insideLibrary : FolderPlace::outside;
}

std::optional<ContentVersion> contentVersionOf(const std::string& libraryRoot, const std::string& path) {
  struct statx info;
  if (path.size() >= PATH_MAX) {  // too long to look at by name: opened one folder at a time
    const UniqueFd file = openFileInside(resolvedLibraryRoot(libraryRoot), path);
    if (!file || ::statx(file.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &info) != 0) return std::nullopt;
  } else if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS, &info) != 0) {
    return std::nullopt;
  }
  ContentVersion version;
  version.changedNanoseconds = fileNanoseconds(info.stx_ctime);
  version.size = info.stx_size;
  char text[96];
  std::snprintf(text, sizeof text, "%" PRIx64 ":%" PRIx64 ":%" PRIx64 ":%" PRIx64, std::uint64_t{info.stx_ino},
                std::uint64_t{info.stx_size}, static_cast<std::uint64_t>(fileNanoseconds(info.stx_mtime)),
                static_cast<std::uint64_t>(version.changedNanoseconds));
  version.text = text;
  return version;
}

}  // namespace shotsieve::folder
