#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace shotsieve::folder {

// Whether the file system the folder (or, with folderFd -1, the path) lies
// on keeps a file's inode number across mounts. FAT and exFAT do not, in
// the kernel or through FUSE (fusefat, exfat-fuse): their drivers number
// files in the order they are looked up, anew at every mount. Learnt once
// per device.
bool inodesLast(dev_t device, int folderFd, const char* path);

// What stands for the inode of a file on such a file system: a digest of its
// size and first 4 KiB, which a rename, a remount or a restamped time leave
// as they were. Nothing when the file cannot be read.
std::optional<std::uint64_t> contentFingerprint(int folderFd, const char* path, std::uint64_t size);

// The file system type the mount table gives a device ("fuseblk",
// "fuse.sshfs"), or empty.
std::string mountedType(dev_t device);

}  // namespace shotsieve::folder
