#include "export/export_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "output/utf8.h"
#include "photos/cache_tag.h"
#include "export/export_names.h"
#include "photos/folder_entries.h"

namespace shotsieve {

namespace {

bool ownedByUsOrRoot(const struct stat& info) { return info.st_uid == ::geteuid() || info.st_uid == 0; }

// Nobody but the user (and root) can change the folders above the resolved
// directory: each is theirs or root's, and writable by every user only with
// the sticky bit, which keeps others from renaming what is inside.
bool ancestorsSafe(std::string resolved) {
  while (resolved.size() > 1) {
    resolved.resize(std::max<std::size_t>(resolved.rfind('/'), 1));
    struct stat info;
    if (::stat(resolved.c_str(), &info) != 0 || !ownedByUsOrRoot(info)) return false;
    if ((info.st_mode & S_IWOTH) && !(info.st_mode & S_ISVTX)) return false;
  }
  return true;
}

// No link on the way, as the caller named it, that another user could point elsewhere.
bool linksSafe(const std::string& path) {
  std::string absolute = path;
  if (!path.starts_with("/")) {
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (!cwd) return false;
    absolute = std::string(cwd.get()) + "/" + path;
  }
  for (std::size_t slash = absolute.find('/', 1);; slash = absolute.find('/', slash + 1)) {
    const std::string prefix = absolute.substr(0, slash);
    struct stat info;
    if (::lstat(prefix.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && !ownedByUsOrRoot(info)) return false;
    if (slash == std::string::npos) return true;
  }
}

// A directory only this user can change.
bool safeForExports(const std::string& path, int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  if (info.st_uid != ::geteuid() || (info.st_mode & S_IWOTH)) return false;
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  struct stat there;
  if (!resolved || ::stat(resolved.get(), &there) != 0 || there.st_dev != info.st_dev || there.st_ino != info.st_ino) {
    return false;
  }
  return ancestorsSafe(resolved.get()) && linksSafe(path);
}

// True when the directory holds nothing but what exports and tags put there.
bool holdsOnlyExportEntries(int fd) {
  bool onlyOurs = true;
  const bool read = forEachFolderEntry(fd, [&](const FolderEntry& entry) {
    onlyOurs = entry.name == kCacheTagName || isExportEntryName(entry.name);
    return onlyOurs;
  });
  return read && onlyOurs;
}

// Creates the directory and its missing parents with 0700; true when the
// directory itself was made by this call.
bool createDirectory(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
  return ::mkdir(path.c_str(), 0700) == 0;
}

UniqueFd openDirectory(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace

ExportDirectory ExportDirectory::open(const std::string& path) {
  if (path.empty()) return ExportDirectory(path, UniqueFd(), false);  // it would put files at the root
  UniqueFd fd = openDirectory(path);
  const bool usable = fd && safeForExports(path, fd.get());
  return ExportDirectory(path, std::move(fd), usable);
}

ExportDirectory ExportDirectory::prepare(const std::string& path, PhotoLibrary& library) {
  if (path.empty()) return open(path);
  // The answer is UTF-8 text: a name that is not could only be shown as
  // another name, whose paths would not open. Refused, and nothing made.
  if (!isValidUtf8(path)) return ExportDirectory(path, UniqueFd(), false);
  const bool created = createDirectory(path);
  UniqueFd fd = openDirectory(path);
  if (!fd || !safeForExports(path, fd.get())) return ExportDirectory(path, std::move(fd), false);
  FolderPlace place = library.placeOfFolder(path);
  // The library itself, and the folders that hold it, are never tagged: backup
  // tools would pass over the user's pictures.
  const bool mayTag = place == FolderPlace::outside || place == FolderPlace::insideLibrary;
  if (mayTag && !hasCacheTag(fd.get()) && (created || holdsOnlyExportEntries(fd.get())) && writeCacheTag(fd.get())) {
    place = library.placeOfFolder(path);  // a tagged folder inside the library is no longer read
  }
  const bool usable = place == FolderPlace::outside || place == FolderPlace::aboveLibrary;
  return ExportDirectory(path, std::move(fd), usable);
}

UniqueFd ExportDirectory::lockCopies(CopiesLock kind) const {
  UniqueFd lock(::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock) {
    int result;
    do {
      result = ::flock(lock.get(), kind == CopiesLock::shared ? LOCK_SH : LOCK_EX);
    } while (result != 0 && errno == EINTR);
  }
  return lock;  // closing it lets go
}

}  // namespace shotsieve
