#include "export/cached_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "photos/file_time.h"
#include "photos/no_link_open.h"

namespace shotsieve {

namespace {

constexpr const char* kVersionAttribute = "user.shotsieve.original";

// What the copy says of the version it was made from; nothing when it says nothing.
std::optional<std::string> recordedVersion(const std::string& path) {
  char value[256];
  // By path, not following a link: the folder is the user's own, and a
  // listing of many cached copies should cost no open per copy.
  const ssize_t size = ::lgetxattr(path.c_str(), kVersionAttribute, value, sizeof value);
  if (size < 0) return std::nullopt;
  return std::string(value, static_cast<std::size_t>(size));
}

bool holdsCurrentContent(const std::string& path, const struct statx& copy, const AssetResource& resource) {
  // Emptied or cut short since it was made (by a host, say), it holds some
  // other content whatever it records.
  if (resource.size && copy.stx_size != *resource.size) return false;
  if (resource.contentVersion.empty()) return true;  // the library cannot tell: keep what is there
  if (const auto recorded = recordedVersion(path)) return *recorded == resource.contentVersion;
  return (copy.stx_mask & STATX_BTIME) && resource.changedNanoseconds &&
         *resource.changedNanoseconds < fileNanoseconds(copy.stx_btime);
}

}  // namespace

CachedCopy inspectCachedCopy(const ExportDirectory& dir, const std::string& name, const AssetResource& resource) {
  struct statx copy;
  constexpr unsigned kAsked = STATX_TYPE | STATX_UID | STATX_BTIME | STATX_SIZE;
  if (::statx(dir.fd(), name.c_str(), AT_SYMLINK_NOFOLLOW, kAsked, &copy) != 0) {
    return errno == ENOENT ? CachedCopy::absent : CachedCopy::replaceable;
  }
  if (S_ISDIR(copy.stx_mode)) return CachedCopy::blocked;
  // A link, a FIFO or a device, or a file another user put there.
  static const uid_t user = ::geteuid();
  if (!S_ISREG(copy.stx_mode) || copy.stx_uid != user) return CachedCopy::replaceable;
  return holdsCurrentContent(dir.pathOf(name), copy, resource) ? CachedCopy::current : CachedCopy::replaceable;
}

void recordCopiedVersion(const ExportDirectory& dir, const std::string& name, const AssetResource& resource) {
  if (resource.contentVersion.empty()) return;
  const UniqueFd fd = openBeneath(dir.fd(), name, O_RDONLY | O_NONBLOCK);
  if (fd) ::fsetxattr(fd.get(), kVersionAttribute, resource.contentVersion.data(), resource.contentVersion.size(), 0);
}

bool stampAsUsed(const ExportDirectory& dir, const std::string& name) {
  const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  const UniqueFd lock = dir.lockCopies(ExportDirectory::CopiesLock::shared);  // no pruning between the stamp and its answer
  return ::utimensat(dir.fd(), name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace shotsieve
