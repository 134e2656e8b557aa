#include "photos/folder/scan/file_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "photos/file_time.h"
#include "photos/folder/scan/lasting_inodes.h"
#include "photos/no_link_open.h"

namespace shotsieve::folder {

namespace {

std::optional<FileStatus> statusAt(int folderFd, const char* path, int flags) {
  struct statx info;
  if (::statx(folderFd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) return std::nullopt;
  FileStatus status;
  status.regular = S_ISREG(info.stx_mode);
  status.link = S_ISLNK(info.stx_mode);
  status.modifiedNanoseconds = fileNanoseconds(info.stx_mtime);
  const bool born = info.stx_mask & STATX_BTIME;
  status.birthNanoseconds = born ? fileNanoseconds(info.stx_btime) : status.modifiedNanoseconds;
  status.links = info.stx_nlink;
  status.stamp = FileStamp{info.stx_size, status.modifiedNanoseconds, info.stx_ino, fileNanoseconds(info.stx_ctime),
                           born ? fileNanoseconds(info.stx_btime) : 0};
  if (status.regular && !inodesLast(makedev(info.stx_dev_major, info.stx_dev_minor), folderFd, path)) {
    if (const auto fingerprint = contentFingerprint(folderFd, path, info.stx_size)) {
      status.stamp.inode = *fingerprint;
      status.stamp.fingerprinted = true;
    }
  }
  return status;
}

std::string lastComponent(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<FileStatus> statusOfFile(const std::string& absolutePath) {
  return statusAt(AT_FDCWD, absolutePath.c_str(), AT_SYMLINK_NOFOLLOW);
}

std::optional<FileStatus> statusInFolder(int folderFd, const std::string& name) {
  return statusAt(folderFd, name.c_str(), AT_SYMLINK_NOFOLLOW);
}

std::optional<FileStatus> statusOfFile(const LibraryFile& file) {
  if (file.contentPath != file.absolutePath) return statusOfFile(file.contentPath);  // a link: its target
  const int folder = file.folderFd >= 0 ? file.folderFd : file.heldFolder ? file.heldFolder->get() : -1;
  if (folder < 0) return statusOfFile(file.absolutePath);
  return statusInFolder(folder, lastComponent(file.relativePath));
}

UniqueFd openContent(const LibraryFile& file) {
  const int folder = file.folderFd >= 0 ? file.folderFd : file.heldFolder ? file.heldFolder->get() : -1;
  if (file.contentPath != file.absolutePath || folder < 0) return UniqueFd(openWithoutLinks(file.contentPath));
  // O_NONBLOCK: a FIFO planted under an image name must not block the open.
  return openBeneath(folder, lastComponent(file.relativePath), O_RDONLY | O_NONBLOCK);
}

bool fileTimesRuleOut(const FileStatus& status, double earliest) {
  const double cutoff = earliest * 1e9 - static_cast<double>(kFileTimeMarginNanoseconds);
  return static_cast<double>(status.birthNanoseconds) < cutoff && static_cast<double>(status.modifiedNanoseconds) < cutoff;
}

}  // namespace shotsieve::folder
