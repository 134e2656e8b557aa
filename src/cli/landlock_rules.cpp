#include "cli/landlock_rules.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "photos/unique_fd.h"

namespace shotsieve {

namespace {

// Later ABIs than Debian 12's kernel headers know (they stop at ABI 2).
constexpr __u64 kTruncate = 1ULL << 14;        // ABI 3
constexpr __u64 kIoctlDevice = 1ULL << 15;     // ABI 5
constexpr __u64 kBindTcp = 1ULL << 0;          // ABI 4, network
constexpr __u64 kConnectTcp = 1ULL << 1;       // ABI 4, network
constexpr __u64 kScopeAbstractSocket = 1ULL << 0;  // ABI 6
constexpr __u64 kScopeSignal = 1ULL << 1;          // ABI 6
constexpr int kNewestKnownAbi = 6;

// landlock_ruleset_attr as ABI 6 has it; older kernels are given its head.
struct RulesetAttr {
  __u64 handledAccessFs = 0;
  __u64 handledAccessNet = 0;
  __u64 scoped = 0;
};

constexpr __u64 kReadFile = LANDLOCK_ACCESS_FS_READ_FILE;
constexpr __u64 kRead = kReadFile | LANDLOCK_ACCESS_FS_READ_DIR;

__u64 handledFs(int abi) {
  __u64 fs = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // every right of ABI 1
  if (abi >= 2) fs |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) fs |= kTruncate;
  if (abi >= 5) fs |= kIoctlDevice;
  return fs;
}

__u64 writeBeneath(int abi) {
  // Files are made, filled, renamed within their folder and removed; no
  // folders, links, devices, sockets or pipes, nor moves between folders.
  return kRead | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_REMOVE_FILE |
         (abi >= 3 ? kTruncate : 0);
}

long createRuleset(const RulesetAttr* attr, std::size_t size, __u32 flags) {
  return ::syscall(SYS_landlock_create_ruleset, attr, size, flags);
}

// Adds one folder (or file) with the rights it may have: a file takes only
// the rights of files. False when the kernel refused the rule.
bool allow(int ruleset, int fd, __u64 access) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return true;  // gone meanwhile: nothing to allow
  if (!S_ISDIR(info.st_mode)) access &= kReadFile | LANDLOCK_ACCESS_FS_WRITE_FILE | kTruncate;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = access;
  rule.parent_fd = fd;
  return ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

bool allowPath(int ruleset, const std::string& path, __u64 access) {
  const UniqueFd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (fd) return allow(ruleset, fd.get(), access);
  // A path that does not exist, or that cannot be reached anyway, needs no
  // rule; one not opened for want of descriptors or memory does: a ruleset
  // without it would hide the library and answer an empty listing.
  return errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == ELOOP;
}

}  // namespace

int restrictFileAccess(const FileAccess& access) {
  const long offered = createRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (offered <= 0) return 0;  // no Landlock in this kernel, or switched off
  const int abi = static_cast<int>(std::min<long>(offered, kNewestKnownAbi));
  RulesetAttr attr;
  attr.handledAccessFs = handledFs(abi);
  if (abi >= 4) attr.handledAccessNet = kBindTcp | kConnectTcp;  // handled, and no rule allows any
  if (abi >= 6) attr.scoped = kScopeAbstractSocket | kScopeSignal;
  const std::size_t size = abi >= 6 ? sizeof attr : abi >= 4 ? 2 * sizeof(__u64) : sizeof(__u64);
  const UniqueFd ruleset(static_cast<int>(createRuleset(&attr, size, 0)));
  if (!ruleset) return -1;
  const __u64 write = writeBeneath(abi) & attr.handledAccessFs;
  bool added = true;
  for (const auto& path : access.readable) added = allowPath(ruleset.get(), path, kRead) && added;
  for (const auto& path : access.writable) added = allowPath(ruleset.get(), path, write) && added;
  for (const int fd : access.writableFolders) added = (fd < 0 || allow(ruleset.get(), fd, write)) && added;
  if (!added) return -1;
  if (::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) return -1;
  return abi;
}

}  // namespace shotsieve
