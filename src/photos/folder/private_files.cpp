#include "photos/folder/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "photos/unique_fd.h"
#include "photos/writer_debris.h"

namespace shotsieve::folder {

bool makePrivateParentDirectories(const std::string& filePath) {
  for (std::size_t slash = filePath.find('/', 1); slash != std::string::npos; slash = filePath.find('/', slash + 1)) {
    if (::mkdir(filePath.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::string readAtMost(int fd, std::size_t most) {
  // Straight into place, in one call where the file says its size (a record
  // of every folder of a large library is megabytes); a file that grows
  // meanwhile is read on in steps.
  std::size_t step = std::size_t{1} << 16;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    step = std::max(step, static_cast<std::size_t>(info.st_size) + 1);
  }
  std::string bytes;
  while (bytes.size() < most) {
    const std::size_t at = bytes.size();
    bytes.resize(at + std::min(step, most - at));
    const ssize_t got = ::pread(fd, bytes.data() + at, bytes.size() - at, static_cast<off_t>(at));
    bytes.resize(at + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
  }
  return bytes;
}

std::string readRegularFile(const std::string& path, std::size_t most, int flags) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags));
  struct stat info;
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  return readAtMost(fd.get(), most);
}

bool syncedForRename(int fd) {
  if (::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) == 0) {
    return true;
  }
  return (errno == EINVAL || errno == ENOSYS || errno == EPERM) && ::fsync(fd) == 0;
}

bool replacePrivateFile(const std::string& path, std::string_view bytes, Kept kept) {
  if (!makePrivateParentDirectories(path)) return false;
  // A temporary name per writer, so that concurrent runs never share one.
  const std::string temporary = temporaryNameBeside(path);
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return false;
  const bool written =
      writeAll(fd.get(), bytes) && (kept == Kept::cache ? syncedForRename(fd.get()) : ::fsync(fd.get()) == 0);
  const bool closed = fd.close();
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace shotsieve::folder
