#include "export/prune_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "export/export_names.h"
#include "photos/folder_entries.h"
#include "photos/writer_debris.h"

namespace shotsieve {

namespace {

double modifiedSeconds(const struct stat& info) {
  return static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
}

}  // namespace

void pruneCache(const ExportDirectory& dir, std::int64_t keepDays) {
  if (!dir.usable()) return;
  std::vector<std::string> names;
  const bool listed = forEachFolderEntry(dir.fd(), [&](const FolderEntry& entry) {
    if (entry.type != DT_DIR && isExportEntryName(entry.name)) names.emplace_back(entry.name);
    return true;
  });
  if (!listed) return;
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const double cutoff = now + static_cast<double>(keepDays) * -86400.0;
  // Whatever a listing stamps before this lock is fresh when looked at below;
  // whatever it stamps after finds its copy gone and makes it again.
  const UniqueFd lock = dir.lockCopies(ExportDirectory::CopiesLock::exclusive);
  for (const auto& name : names) {
    struct stat info;
    if (::fstatat(dir.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) continue;
    // An unfinished copy whose writer no longer runs (a killed listing) is
    // never finished: it goes at once, not after the days a copy is kept.
    const auto writer = writerOfExportPart(name);
    if (modifiedSeconds(info) < cutoff || (writer && writerHasEnded(*writer))) ::unlinkat(dir.fd(), name.c_str(), 0);
  }
}

void pruneCache(const std::string& dir, std::int64_t keepDays) { pruneCache(ExportDirectory::open(dir), keepDays); }

}  // namespace shotsieve
