#include "photos/folder/scan/library_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <vector>

#include "photos/cache_tag.h"
#include "photos/folder/scan/blind_file_systems.h"
#include "photos/folder/scan/link_target.h"
#include "photos/folder/scan/screenshot_names.h"

namespace shotsieve::folder {

namespace {

constexpr std::array<std::string_view, 11> kImageExtensions{"png", "jpg",  "jpeg", "heic", "heif", "avif",
                                                            "webp", "gif", "tif",  "tiff", "bmp"};
constexpr std::array<std::string_view, 6> kVideoExtensions{"mp4", "mov", "m4v", "webm", "mkv", "avi"};

// Folders deeper than this below the root do not hold their handle while
// their subfolders are walked.
constexpr int kHeldDepth = 16;

struct FolderId {
  dev_t device;
  ino_t inode;
  bool operator==(const FolderId&) const = default;
};

std::string joined(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}

// When a folder was read, kept in its record: taken before the folder's
// status, never after, since a stamp is trusted only when its change lies
// well before the read.
std::int64_t nowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
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
  FolderMemory* memory;
  BlindFileSystems blind;
  std::vector<FolderId> above;  // the folders being walked, from the first down
  // Any folder that could not be opened or read to its end: its files were
  // not met, which is not the same as being gone. Running out of descriptors
  // or memory is no folder's doing: the walk failed.
  WalkOutcome outcome;
  void missed(int error) {
    outcome.whole = false;
    if (outcome.failure == 0 && (error == EMFILE || error == ENFILE || error == ENOMEM)) outcome.failure = error;
  }

  // Walks the folder open as `handle`, and leaves it open again for the
  // caller to go back up through, or empty when it lost its way back.
  // `status`: the folder's, taken at `openedAt` or after it; none when it
  // could not be taken.
  void walk(std::shared_ptr<const UniqueFd>& handle, const std::string& relativeDir, const struct stat* status,
            std::int64_t openedAt, bool inScreenshotFolder, int depth) {
    std::string read;
    std::string_view entries;
    const FolderRecord* remembered = nullptr;
    bool passFiles = false;
    if (!listed(handle->get(), relativeDir, status, openedAt, read, entries, remembered, passFiles)) return;
    // Files passed over whole (links are followed anew each time: a target
    // may have come), or a walk of the folders only: a remembered folder's
    // files need not be gone through.
    if (remembered != nullptr && (passFiles || !visit)) {
      if (passFiles) memory->passedOver(remembered->files(wantedType));
      entries = entries.substr(0, remembered->filesAt);
    }
    forEachEntry(entries, [&](char kind, std::string_view name) {
      if (!handle) return;  // the folder could not be taken back: the rest of it is not met
      if (kind == 'd') {
        descend(handle, joined(relativeDir, name), name, inScreenshotFolder || isScreenshotFolderName(name), depth);
        return;
      }
      if (!visit) return;
      const auto mediaType = mediaTypeOfName(name);
      if (!mediaType || (wantedType && *mediaType != *wantedType)) return;
      const std::string relative = joined(relativeDir, name);
      LibraryFile file{relative, root + "/" + relative, {}, *mediaType, inScreenshotFolder,
                       isScreenshotFileName(name), handle->get(), nullptr};
      file.folderUnchanged = remembered != nullptr;
      file.contentPath = file.absolutePath;
      if (kind == 'l') {  // a link counts when it leads to a file inside the root
        auto target = resolvedFileInside(root, file.absolutePath);
        if (!target) return;
        file.contentPath = std::move(*target);
      } else if (handles == FolderHandles::heldByFiles || file.absolutePath.size() >= PATH_MAX) {
        file.heldFolder = handle;  // also when too long to open by name later: the folder stays open for the read
      }
      visit(file);
    });
  }

  // Into a subfolder of the folder open as `handle`. Deep down, the folder
  // lets go of its handle meanwhile and takes it back through the
  // subfolder's "..", checked to be the same folder: descriptors stay
  // bounded however deep the tree. A folder met again below itself (a bind
  // mount of a folder above) is a loop, and not entered again.
  void descend(std::shared_ptr<const UniqueFd>& handle, const std::string& relative, std::string_view name,
               bool inScreenshotFolder, int depth) {
    if (passedUnopened(handle->get(), relative, name)) return;
    const std::int64_t openedAt = nowNanoseconds();
    auto child = std::make_shared<const UniqueFd>(
        ::openat(handle->get(), std::string(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (!*child || ::fstat(child->get(), &info) != 0) {
      missed(errno);
      return;
    }
    const FolderId id{info.st_dev, info.st_ino};
    if (std::find(above.begin(), above.end(), id) != above.end()) return;
    // A cache, such as an export directory, is no pictures; whoever is told
    // of the folder asks, once it has heard of what comes.
    const Entered entered = enterFolder ? enterFolder(relative, child->get(), info)
                            : hasCacheTag(child->get()) ? Entered::cache
                                                        : Entered::byStatus;
    if (entered == Entered::cache) return;
    const bool statusHeld = entered == Entered::byStatus;
    const bool letGo = depth >= kHeldDepth;
    if (letGo) handle.reset();
    above.push_back(id);
    walk(child, relative, statusHeld ? &info : nullptr, openedAt, inScreenshotFolder, depth + 1);
    above.pop_back();
    if (!letGo) return;
    UniqueFd back(child ? ::openat(child->get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    if (!back || ::fstat(back.get(), &info) != 0 || !(FolderId{info.st_dev, info.st_ino} == above.back())) {
      missed(back ? ENOENT : errno);  // moved elsewhere meanwhile, or out of descriptors
      return;
    }
    handle = std::make_shared<const UniqueFd>(std::move(back));
  }

  // A folder with neither subfolders nor links, vouched for by its stamp,
  // whose files are passed over or not walked: its status, taken without
  // opening it, is all the walk needs of it (most folders of a large library
  // are such). A folder to be told of is opened: whoever is told needs its
  // handle.
  bool passedUnopened(int parentFd, const std::string& relative, std::string_view name) {
    if (memory == nullptr || enterFolder || !memory->remembers(relative)) return false;  // no record: opened at once
    struct stat info;
    if (::fstatat(parentFd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
        !blind.seesAll(info.st_dev)) {
      return false;  // opened as any other, which tells what is wrong with it
    }
    const FolderRecord* known = memory->unchanged(relative, stampOf(info));
    if (known == nullptr || known->filesAt != 0 ||
        std::find(above.begin(), above.end(), FolderId{info.st_dev, info.st_ino}) != above.end()) {
      return false;
    }
    if (hasCacheTagIn(parentFd, name)) return true;  // a cache, such as an export directory, is no pictures
    const bool passFiles = memory->passesOverFilesOf(relative, *known, wantedType);
    if (!passFiles && visit) return false;
    memory->remember(relative, *known);
    if (passFiles) memory->passedOver(known->files(wantedType));
    return true;
  }

  // The folder's entries that a walk looks at: as remembered while its stamp
  // says its list is as it was (a view of the record loaded, which stays
  // as it is while the walk lasts), else read into `read` (and remembered
  // when read whole). `passFiles`: what the files were known to be then
  // rules them all out.
  bool listed(int fd, const std::string& relativeDir, const struct stat* status, std::int64_t readAt, std::string& read,
              std::string_view& entries, const FolderRecord*& remembered, bool& passFiles) {
    if (memory == nullptr) return readEntries(fd, read, entries);
    if (status == nullptr || blind.blind(fd, status->st_dev)) return readEntries(fd, read, entries);
    const FolderStamp stamp = stampOf(*status);
    const FolderRecord* known = memory->unchanged(relativeDir, stamp);
    if (known != nullptr) {
      passFiles = memory->passesOverFilesOf(relativeDir, *known, wantedType);
      // Its files' names are read from the record only when looked at; a
      // record whose names cannot be read is a folder to read.
      if (!passFiles && visit) known = memory->withFiles(relativeDir);
    }
    if (known != nullptr) {
      entries = known->entries;
      remembered = known;
      memory->remember(relativeDir, *known);
      return true;
    }
    const bool whole = outcome.whole;
    outcome.whole = true;
    const bool listedNow = readEntries(fd, read, entries);
    // A disk or card away for a moment: its files are not gone, and a walk
    // that took them for gone would let go of their identifiers. What was
    // known of the folder is kept for its return.
    if (listedNow && entries.empty()) {
      if (const FolderRecord* before = memory->heldElsewhere(relativeDir, stamp)) {
        memory->remember(relativeDir, *before);
        outcome.whole = false;
        return true;
      }
    }
    if (listedNow && outcome.whole) memory->remember(relativeDir, FolderRecord{stamp, readAt, read, std::nullopt, 0});
    outcome.whole = outcome.whole && whole;
    return listedNow;
  }

  // False when the folder could not be listed at all; a folder listed only
  // in part leaves the outcome not whole.
  bool readEntries(int fd, std::string& entries, std::string_view& view) {
    const bool listedAtAll = readInto(fd, entries);
    view = entries;
    return listedAtAll;
  }
  bool readInto(int fd, std::string& entries) {
    // Listed through a handle of its own: a dup would share the folder's
    // position, and a folder listed twice would then seem empty.
    UniqueFd copy(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<DIR, DirCloser> dir(copy ? ::fdopendir(copy.get()) : nullptr);
    if (!dir) {
      missed(errno);
      return false;
    }
    copy.release();  // the DIR owns it now
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) missed(errno);
        return true;
      }
      const std::string_view name = entry->d_name;
      if (walkSkipsName(name)) continue;
      unsigned char type = entry->d_type;
      if (type == DT_UNKNOWN) {
        struct stat info;
        if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
          missed(errno);
          continue;
        }
        type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : S_ISREG(info.st_mode) ? DT_REG : 0;
      }
      const char kind = type == DT_DIR ? 'd' : type == DT_REG ? 'f' : type == DT_LNK ? 'l' : '\0';
      if (kind == '\0' || (kind != 'd' && !mediaTypeOfName(name))) continue;  // never an asset, whatever the fetch
      entries += kind;
      entries += name;
      entries += '\0';
    }
  }
};

}  // namespace

std::optional<int> mediaTypeOfName(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view given = fileName.substr(dot + 1);
  if (given.size() > 4) return std::nullopt;
  // Called for every name of the library: no allocation.
  std::array<char, 4> lower{};
  for (std::size_t at = 0; at < given.size() && at < lower.size(); ++at) {
    const auto c = static_cast<unsigned char>(given[at]);
    lower[at] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  const std::string_view extension(lower.data(), given.size());
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
                       FolderHandles handles, FolderMemory* memory) {
  Walker walker{wantedType, visit, enterFolder, resolvedRoot, handles, memory, {}, {}, {}};
  if (!folder) {
    walker.missed(errno);
    return walker.outcome;
  }
  const std::int64_t statusAt = nowNanoseconds();
  struct stat info;
  if (::fstat(folder.get(), &info) != 0) {
    walker.missed(errno);
    return walker.outcome;
  }
  walker.above.push_back(FolderId{info.st_dev, info.st_ino});
  const int depth = relativeFolder.empty() ? 0 : static_cast<int>(std::count(relativeFolder.begin(), relativeFolder.end(), '/')) + 1;
  auto handle = std::make_shared<const UniqueFd>(std::move(folder));
  walker.walk(handle, relativeFolder, &info, statusAt, insideScreenshotFolder(relativeFolder), depth);
  return walker.outcome;
}

WalkOutcome walkLibrary(const std::string& root, std::optional<int> wantedType, const VisitFile& visit,
                        const EnterFolder& enterFolder, FolderHandles handles, FolderMemory* memory) {
  const std::string resolvedRoot = resolvedLibraryRoot(root);
  if (resolvedRoot.empty()) return WalkOutcome{false, 0};  // away (an unmounted disk, say): nothing was looked at
  return walkFolder(UniqueFd(::open(resolvedRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), resolvedRoot, "", wantedType,
             visit, enterFolder, handles, memory);
}

std::optional<LibraryFile> libraryFileIn(int folderFd, const std::string& resolvedRoot, const std::string& relativeFolder,
                                         std::string_view name, bool link) {
  if (walkSkipsName(name)) return std::nullopt;
  const auto mediaType = mediaTypeOfName(name);
  if (!mediaType) return std::nullopt;
  const std::string relative = joined(relativeFolder, name);
  LibraryFile file{relative, resolvedRoot + "/" + relative, {}, *mediaType, insideScreenshotFolder(relativeFolder),
                   isScreenshotFileName(name), folderFd, nullptr};
  file.contentPath = file.absolutePath;
  if (link) {
    auto target = resolvedFileInside(resolvedRoot, file.absolutePath);
    if (!target) return std::nullopt;
    file.contentPath = std::move(*target);
  }
  return file;
}

}  // namespace shotsieve::folder
