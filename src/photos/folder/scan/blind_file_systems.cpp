#include "photos/folder/scan/blind_file_systems.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <array>
#include <string>

#include "photos/folder/scan/lasting_inodes.h"

namespace shotsieve::folder {

namespace {

constexpr unsigned long kFuse = 0x65735546;

bool remoteType(unsigned long type) {
  constexpr std::array<unsigned long, 11> kRemote{
      NFS_SUPER_MAGIC, SMB_SUPER_MAGIC, 0xFF534D42 /* CIFS */, 0xFE534D42 /* SMB2 */, V9FS_MAGIC, AFS_SUPER_MAGIC,
      CODA_SUPER_MAGIC, NCP_SUPER_MAGIC, 0x00C36400 /* Ceph */, 0x6B414653 /* kAFS */, 0x47504653 /* GPFS */};
  for (const auto remote : kRemote) {
    if (type == remote) return true;
  }
  return false;
}

}  // namespace

bool BlindFileSystems::blind(int folderFd) {
  struct stat info;
  return ::fstat(folderFd, &info) == 0 && blind(folderFd, info.st_dev);
}

bool BlindFileSystems::blind(int folderFd, dev_t device) {
  if (const auto known = byDevice_.find(device); known != byDevice_.end()) return known->second;
  struct statfs system;
  bool blind = false;
  if (::fstatfs(folderFd, &system) == 0) {
    const auto type = static_cast<unsigned long>(system.f_type);
    blind = remoteType(type) || (type == kFuse && mountedType(device) != "fuseblk");
  }
  // A file system that cannot say what it is: inotify is trusted, as before.
  byDevice_[device] = blind;
  return blind;
}

}  // namespace shotsieve::folder
