#include "photos/folder/scan/lasting_inodes.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "photos/fnv1a.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

constexpr unsigned long kMsdos = 0x4d44, kExfat = 0x2011BAB0, kFuse = 0x65735546;

bool fuseTypeLasts(const std::string& type) {
  // A FUSE block device mount is exfat-fuse or ntfs-3g, which the mount
  // table does not tell apart; taking NTFS for FAT costs a read per file.
  if (type == "fuseblk") return false;
  return type.find("fat") == std::string::npos;  // fuse.fusefat, fuse.exfat, fuse.vfat ...
}

bool judge(int folderFd, const char* path, dev_t device) {
  struct statfs system;
  if ((folderFd >= 0 ? ::fstatfs(folderFd, &system) : ::statfs(path, &system)) != 0) return true;
  const auto type = static_cast<unsigned long>(system.f_type);
  if (type == kMsdos || type == kExfat) return false;
  return type != kFuse || fuseTypeLasts(mountedType(device));
}

}  // namespace

bool inodesLast(dev_t device, int folderFd, const char* path) {
  static std::mutex mutex;
  static std::unordered_map<dev_t, bool> byDevice;
  {
    std::lock_guard lock(mutex);
    if (const auto known = byDevice.find(device); known != byDevice.end()) return known->second;
  }
  const bool lasts = judge(folderFd, path, device);
  std::lock_guard lock(mutex);
  byDevice.emplace(device, lasts);
  return lasts;
}

std::optional<std::uint64_t> contentFingerprint(int folderFd, const char* path, std::uint64_t size) {
  // O_NONBLOCK: a FIFO put in the file's place meanwhile must not block.
  const UniqueFd fd(::openat(folderFd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return std::nullopt;
  unsigned char head[4096];
  const ssize_t got = ::pread(fd.get(), head, sizeof head, 0);
  if (got < 0) return std::nullopt;
  const std::uint64_t hash = fnv1a(std::string_view(reinterpret_cast<const char*>(&size), sizeof size));
  return fnv1a(std::string_view(reinterpret_cast<const char*>(head), static_cast<std::size_t>(got)), hash);
}

std::string mountedType(dev_t device) {
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    fields >> id >> parent >> numbers;
    if (numbers != wanted) continue;
    const auto separator = line.find(" - ");
    if (separator == std::string::npos) return {};
    std::istringstream rest(line.substr(separator + 3));
    std::string type;
    rest >> type;
    return type;
  }
  return {};
}

}  // namespace shotsieve::folder
