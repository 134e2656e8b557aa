#include "photos/folder/scan/library_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>

#include "photos/cache_tag.h"
#include "photos/folder/scan/link_target.h"
#include "photos/folder/scan/screenshot_names.h"

namespace shotsieve::folder {

namespace {

constexpr std::array<std::string_view, 11> kImageExtensions{"png", "jpg",  "jpeg", "heic", "heif", "avif",
                                                            "webp", "gif", "tif",  "tiff", "bmp"};
constexpr std::array<std::string_view, 6> kVideoExtensions{"mp4", "mov", "m4v", "webm", "mkv", "avi"};

// Deeper than any real photo tree.
constexpr int kDeepestFolder = 64;

std::string joined(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

struct Walker {
  std::optional<int> wantedType;
  const VisitFile& visit;
  const EnterFolder& enterFolder;
  std::string root;
  FolderHandles handles;
  // Any folder that could not be opened or read to its end: its files were
  // not met, which is not the same as being gone. Running out of descriptors
  // or memory is no folder's doing: the walk failed.
  WalkOutcome outcome;
  void missed(int error) {
    outcome.whole = false;
    if (outcome.failure == 0 && (error == EMFILE || error == ENFILE || error == ENOMEM)) outcome.failure = error;
  }

  void walk(UniqueFd folder, const std::string& relativeDir, bool inScreenshotFolder, int depth) {
    std::shared_ptr<const UniqueFd> held;
    if (handles == FolderHandles::heldByFiles) held = std::make_shared<const UniqueFd>(std::move(folder));
    const int fd = held ? held->get() : folder.get();
    // Listed through a handle of its own: a dup would share the folder's
    // position, and a folder listed twice would then seem empty.
    UniqueFd copy(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<DIR, DirCloser> dir(copy ? ::fdopendir(copy.get()) : nullptr);
    if (!dir) {
      missed(errno);
      return;
    }
    copy.release();  // the DIR owns it now
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) missed(errno);
        break;
      }
      const std::string_view name = entry->d_name;
      if (name.front() == '.') continue;  // also "." and ".."
      unsigned char type = entry->d_type;
      if (type == DT_UNKNOWN) {
        struct stat info;
        if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
          missed(errno);
          continue;
        }
        type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : S_ISREG(info.st_mode) ? DT_REG : 0;
      }
      const std::string relative = joined(relativeDir, name);
      if (type == DT_DIR) {
        if (depth >= kDeepestFolder) continue;
        UniqueFd child(::openat(fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child) {
          missed(errno);
          continue;
        }
        if (hasCacheTag(child.get())) continue;  // a cache, such as an export directory, is no pictures
        if (enterFolder) enterFolder(relative, child.get());
        walk(std::move(child), relative, inScreenshotFolder || isScreenshotFolderName(name), depth + 1);
      } else if (type == DT_REG || type == DT_LNK) {
        const auto mediaType = mediaTypeOfName(name);
        if (!mediaType || (wantedType && *mediaType != *wantedType)) continue;
        LibraryFile file{relative, root + "/" + relative, {}, *mediaType, inScreenshotFolder,
                         isScreenshotFileName(name), fd, nullptr};
        file.contentPath = file.absolutePath;
        if (type == DT_LNK) {  // a link counts when it leads to a file inside the root
          auto target = resolvedFileInside(root, file.absolutePath);
          if (!target) continue;
          file.contentPath = std::move(*target);
        } else if (held || file.absolutePath.size() >= PATH_MAX) {
          // Too long to open by name later: the folder stays open for the read.
          if (!held) held = std::make_shared<const UniqueFd>(::dup(fd));
          file.heldFolder = held;
        }
        visit(file);
      }
    }
  }
};

}  // namespace

std::optional<int> mediaTypeOfName(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  std::string extension(fileName.substr(dot + 1));
  if (extension.size() > 4) return std::nullopt;
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (std::find(kImageExtensions.begin(), kImageExtensions.end(), extension) != kImageExtensions.end()) {
    return kImageMediaType;
  }
  if (std::find(kVideoExtensions.begin(), kVideoExtensions.end(), extension) != kVideoExtensions.end()) {
    return kVideoMediaType;
  }
  return std::nullopt;
}

bool insideScreenshotFolder(std::string_view relativeFolder) {
  while (!relativeFolder.empty()) {
    const auto slash = relativeFolder.find('/');
    if (isScreenshotFolderName(relativeFolder.substr(0, slash))) return true;
    if (slash == std::string_view::npos) break;
    relativeFolder.remove_prefix(slash + 1);
  }
  return false;
}

WalkOutcome walkFolder(UniqueFd folder, const std::string& resolvedRoot, const std::string& relativeFolder,
                       std::optional<int> wantedType, const VisitFile& visit, const EnterFolder& enterFolder,
                       FolderHandles handles) {
  Walker walker{wantedType, visit, enterFolder, resolvedRoot, handles, {}};
  if (!folder) {
    walker.missed(errno);
    return walker.outcome;
  }
  const int depth = relativeFolder.empty() ? 0 : static_cast<int>(std::count(relativeFolder.begin(), relativeFolder.end(), '/')) + 1;
  walker.walk(std::move(folder), relativeFolder, insideScreenshotFolder(relativeFolder), depth);
  return walker.outcome;
}

WalkOutcome walkLibrary(const std::string& root, std::optional<int> wantedType, const VisitFile& visit,
                        const EnterFolder& enterFolder, FolderHandles handles) {
  const std::string resolvedRoot = resolvedLibraryRoot(root);
  if (resolvedRoot.empty()) return WalkOutcome{false, 0};  // away (an unmounted disk, say): nothing was looked at
  return walkFolder(UniqueFd(::open(resolvedRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), resolvedRoot, "", wantedType,
             visit, enterFolder, handles);
}

std::optional<LibraryFile> libraryFileIn(int folderFd, const std::string& resolvedRoot, const std::string& relativeFolder,
                                         std::string_view name) {
  if (name.empty() || name.front() == '.') return std::nullopt;
  const auto mediaType = mediaTypeOfName(name);
  if (!mediaType) return std::nullopt;
  struct stat info;
  if (::fstatat(folderFd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return std::nullopt;
  const std::string relative = joined(relativeFolder, name);
  LibraryFile file{relative, resolvedRoot + "/" + relative, {}, *mediaType, insideScreenshotFolder(relativeFolder),
                   isScreenshotFileName(name), folderFd, nullptr};
  file.contentPath = file.absolutePath;
  if (S_ISLNK(info.st_mode)) {
    auto target = resolvedFileInside(resolvedRoot, file.absolutePath);
    if (!target) return std::nullopt;
    file.contentPath = std::move(*target);
  }
  return file;
}

}  // namespace shotsieve::folder
