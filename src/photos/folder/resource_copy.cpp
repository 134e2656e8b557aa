#include "photos/folder/resource_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "photos/folder/metadata/file_format.h"
#include "photos/folder/metadata/image_wholeness.h"
#include "photos/folder/private_files.h"
#include "photos/folder/scan/link_target.h"
#include "photos/no_link_open.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

// File systems whose data may not be on this computer.
bool isRemoteFileSystem(int fd) {
  struct statfs info;
  if (::fstatfs(fd, &info) != 0) return false;
  constexpr std::array<unsigned long, 12> kRemote{
      NFS_SUPER_MAGIC, SMB_SUPER_MAGIC, 0xFF534D42 /* CIFS */, 0xFE534D42 /* SMB2 */,
      0x65735546 /* FUSE */, V9FS_MAGIC, AFS_SUPER_MAGIC, CODA_SUPER_MAGIC,
      NCP_SUPER_MAGIC, 0x00C36400 /* Ceph */, 0x6B414653 /* kAFS */, 0x47504653 /* GPFS */};
  const auto type = static_cast<unsigned long>(info.f_type);
  for (const auto remote : kRemote) {
    if (type == remote) return true;
  }
  return false;
}

std::string errorText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool copyByReadWrite(int from, int to) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += put;
    }
  }
}

// Fills `to` from `from`; false with errno set on failure.
bool copyData(int from, int to) {
  if (::ioctl(to, FICLONE, from) == 0) return true;
  bool started = false;
  for (;;) {
    const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (copied == 0) return true;
    if (copied > 0) {
      started = true;
      continue;
    }
    if (errno == EINTR) continue;
    // Not offered between these two files: copy by hand, from where we are.
    if (!started && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      return copyByReadWrite(from, to);
    }
    return false;
  }
}

// What must not change while a file is copied for the copy to be its content.
bool sameVersion(const struct stat& before, const struct stat& after) {
  return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
         before.st_mtim.tv_nsec == after.st_mtim.tv_nsec && before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
         before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// A copy complete in itself: an image whose structure reaches its end (as the
// watcher judges a file), or a video.
bool copyLooksComplete(int fd) {
  char head[kSniffBytes];
  const ssize_t got = ::pread(fd, head, sizeof head, 0);
  const FileFormat format = sniffFileFormat(std::string_view(head, got > 0 ? static_cast<std::size_t>(got) : 0));
  const int mediaType = mediaTypeOfFormat(format);
  return mediaType == kVideoMediaType || (mediaType == kImageMediaType && imageFileLooksWhole(fd));
}

// Copies, syncs and checks; the error text, or nothing when the copy is good.
std::optional<std::string> fillCopy(int from, const struct stat& before, int to) {
  if (!copyData(from, to)) return errorText("copy failed");
  if (!syncedForRename(to)) return errorText("sync failed");  // the copy is renamed into place once checked
  struct stat after;
  if (::fstat(from, &after) != 0 || !sameVersion(before, after)) return std::string("the original changed while it was copied");
  // A file still being written would be served cut short: the next listing copies it whole.
  if (!copyLooksComplete(to)) return std::string("the original is not complete");
  return std::nullopt;
}

}  // namespace

std::optional<std::string> copyResourceFile(const std::string& libraryRoot, const std::string& source,
                                            const std::string& destination, NetworkAccess networkAccess) {
  const UniqueFd from = openFileInside(resolvedLibraryRoot(libraryRoot), source);
  if (!from) return std::string("the original is no longer a file inside the library");
  struct stat before;
  if (::fstat(from.get(), &before) != 0 || !S_ISREG(before.st_mode)) return std::string("the original is not a regular file");
  if (networkAccess == NetworkAccess::notAllowed && isRemoteFileSystem(from.get())) {
    return std::string("the original is not held locally and network access is not allowed");
  }
  UniqueFd to(::open(destination.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
  if (!to) return errorText("cannot create the destination");
  auto error = fillCopy(from.get(), before, to.get());
  if (!to.close() && !error) error = errorText("close failed");
  if (error) ::unlink(destination.c_str());
  return error;
}

}  // namespace shotsieve::folder
