#pragma once

#include <sys/types.h>

#include <map>

namespace shotsieve::folder {

// Whether inotify can see every change in a folder, and a folder's stamp
// tells of it: on network and user-space file systems (NFS, SMB/CIFS, sshfs,
// rclone, bindfs and other FUSE mounts, 9p, Ceph) inotify sees only what
// this machine writes through the mount, and the client caches a folder's
// times, so those folders are polled as well and read on every walk. A FUSE block device mount
// (ntfs-3g, exFAT) is local: every write goes through this machine.
class BlindFileSystems {
 public:
  // True when changes to the folder open as `folderFd` may come from elsewhere.
  bool blind(int folderFd);
  // The same of a folder whose device is known already.
  bool blind(int folderFd, dev_t device);
  // True when the device is known already and changes on it are all seen.
  bool seesAll(dev_t device) const {
    const auto known = byDevice_.find(device);
    return known != byDevice_.end() && !known->second;
  }
  // The mount table changed: what was learnt of devices may be stale.
  void forget() { byDevice_.clear(); }

 private:
  std::map<dev_t, bool> byDevice_;
};

}  // namespace shotsieve::folder
