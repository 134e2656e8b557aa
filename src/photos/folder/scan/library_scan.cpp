#include "photos/folder/scan/library_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "output/text_case.h"
#include "photos/cache_tag.h"
#include "photos/folder/scan/asset_identity.h"
#include "photos/folder/scan/link_target.h"
#include "photos/folder/scan/screenshot_names.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

constexpr std::array<std::string_view, 11> kImageExtensions{"png", "jpg",  "jpeg", "heic", "heif", "avif",
                                                            "webp", "gif", "tif",  "tiff", "bmp"};
constexpr std::array<std::string_view, 6> kVideoExtensions{"mp4", "mov", "m4v", "webm", "mkv", "avi"};

std::int64_t nanoseconds(const statx_timestamp& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

std::string_view lastComponent(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct Walker {
  std::optional<int> wantedType;
  const std::function<void(const LibraryFile&)>& visit;
  const std::function<void(const std::string&)>& enterFolder;
  std::string root;

  void walk(int dirFd, const std::string& relativeDir, bool inScreenshotFolder, int depth) {
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
      ::close(dirFd);
      return;
    }
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name.front() == '.') continue;  // also "." and ".."
      const std::string relative = relativeDir.empty() ? std::string(name) : relativeDir + "/" + std::string(name);
      unsigned char type = entry->d_type;
      if (type == DT_UNKNOWN) {
        struct stat info;
        if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : S_ISREG(info.st_mode) ? DT_REG : 0;
      }
      if (type == DT_DIR) {
        if (depth >= 64) continue;  // deeper than any real photo tree
        UniqueFd child(::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child || hasCacheTag(child.get())) continue;  // a cache, such as an export directory, is no pictures
        if (enterFolder) enterFolder(relative);
        walk(child.release(), relative, inScreenshotFolder || isScreenshotFolderName(name), depth + 1);
      } else if (type == DT_REG || type == DT_LNK) {
        const auto mediaType = mediaTypeOfName(name);
        if (!mediaType || (wantedType && *mediaType != *wantedType)) continue;
        std::string absolute = root + "/" + relative;
        std::string content = absolute;
        if (type == DT_LNK) {  // a link counts when it leads to a file inside the root
          auto target = resolvedFileInside(root, absolute);
          if (!target) continue;
          content = std::move(*target);
        }
        visit(LibraryFile{relative, std::move(absolute), std::move(content), *mediaType, inScreenshotFolder,
                          ::dirfd(dir)});
      }
    }
    ::closedir(dir);
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

void walkLibrary(const std::string& root, std::optional<int> wantedType,
                 const std::function<void(const LibraryFile&)>& visit,
                 const std::function<void(const std::string& relativeFolder)>& enterFolder) {
  const std::string resolvedRoot = resolvedLibraryRoot(root);
  if (resolvedRoot.empty()) return;
  const int fd = ::open(resolvedRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  Walker walker{wantedType, visit, enterFolder, resolvedRoot};
  walker.walk(fd, "", false, 0);
}

std::optional<LibraryFile> libraryFileAt(const std::string& resolvedRoot, const std::string& relativePath) {
  bool inScreenshotFolder = false;
  std::size_t start = 0;
  for (std::size_t slash; (slash = relativePath.find('/', start)) != std::string::npos; start = slash + 1) {
    const std::string_view folder = std::string_view(relativePath).substr(start, slash - start);
    if (folder.empty() || folder.front() == '.') return std::nullopt;
    inScreenshotFolder = inScreenshotFolder || isScreenshotFolderName(folder);
  }
  const std::string_view name = lastComponent(relativePath);
  if (name.empty() || name.front() == '.') return std::nullopt;
  const auto mediaType = mediaTypeOfName(name);
  if (!mediaType) return std::nullopt;
  std::string absolute = resolvedRoot + "/" + relativePath;
  std::string content = absolute;
  struct stat info;
  if (::lstat(absolute.c_str(), &info) != 0) return std::nullopt;
  if (S_ISLNK(info.st_mode)) {
    auto target = resolvedFileInside(resolvedRoot, absolute);
    if (!target) return std::nullopt;
    content = std::move(*target);
  }
  return LibraryFile{relativePath, std::move(absolute), std::move(content), *mediaType, inScreenshotFolder};
}

namespace {

std::optional<FileStatus> statusAt(int folderFd, const char* path) {
  struct statx info;
  if (::statx(folderFd, path, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) return std::nullopt;
  FileStatus status;
  status.regular = S_ISREG(info.stx_mode);
  status.modifiedNanoseconds = nanoseconds(info.stx_mtime);
  status.birthNanoseconds = (info.stx_mask & STATX_BTIME) ? nanoseconds(info.stx_btime) : status.modifiedNanoseconds;
  status.stamp = FileStamp{info.stx_size, status.modifiedNanoseconds, info.stx_ino, nanoseconds(info.stx_ctime)};
  return status;
}

}  // namespace

std::optional<FileStatus> statusOfFile(const std::string& absolutePath) { return statusAt(AT_FDCWD, absolutePath.c_str()); }

std::optional<FileStatus> statusOfFile(const LibraryFile& file) {
  if (file.folderFd < 0 || file.contentPath != file.absolutePath) return statusOfFile(file.contentPath);
  const auto slash = file.relativePath.rfind('/');
  return statusAt(file.folderFd, file.relativePath.c_str() + (slash == std::string::npos ? 0 : slash + 1));
}

std::string identifierOfFile(const LibraryFile& file, const FileStatus& status) {
  return assetLocalIdentifier(file.relativePath, status.birthNanoseconds);
}

std::optional<Asset> assetOfFacts(const LibraryFile& file, const FileStatus& status, const ImageFacts& facts,
                                  const FetchOptions* select) {
  if (mediaTypeOfFormat(facts.format) != file.mediaType) return std::nullopt;
  const std::string_view name = lastComponent(file.relativePath);
  Asset asset;
  asset.mediaType = file.mediaType;
  // A copy that kept its old modification time still gets a new birth time.
  const double fileTime = static_cast<double>(std::min(status.birthNanoseconds, status.modifiedNanoseconds)) / 1e9;
  asset.creationDate = facts.captureDate ? facts.captureDate : dateFromScreenshotFileName(name);
  if (!asset.creationDate) asset.creationDate = fileTime;
  if (file.mediaType == kImageMediaType &&
      (file.inScreenshotFolder || facts.markedScreenshot || isScreenshotFileName(name))) {
    asset.mediaSubtypes |= kScreenshotSubtype;
  }
  if (select != nullptr && !fetchOptionsSelect(*select, asset)) return std::nullopt;
  asset.localIdentifier = identifierOfFile(file, status);
  asset.pixelWidth = facts.width;
  asset.pixelHeight = facts.height;
  asset.isFavorite = facts.favorite;
  asset.modificationDate = static_cast<double>(status.modifiedNanoseconds) / 1e9;
  asset.locator = file.absolutePath;
  return asset;
}

std::optional<Asset> assetOfFile(const LibraryFile& file, const FileStatus& status, MetadataIndex& index,
                                 ImageFacts* factsOut) {
  ImageFacts facts;
  if (auto known = index.find(file.relativePath, status.stamp)) {
    facts = *known;
  } else {
    facts = readImageFacts(file.contentPath);
    index.store(file.relativePath, status.stamp, facts);
  }
  if (factsOut != nullptr) *factsOut = facts;
  return assetOfFacts(file, status, facts);
}

bool fileTimesRuleOut(const FileStatus& status, double earliest) {
  const double cutoff = earliest * 1e9 - static_cast<double>(kFileTimeMarginNanoseconds);
  return static_cast<double>(status.birthNanoseconds) < cutoff && static_cast<double>(status.modifiedNanoseconds) < cutoff;
}

}  // namespace shotsieve::folder
