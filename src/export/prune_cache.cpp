#include "export/prune_cache.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <vector>

namespace shotsieve {

namespace {

double modifiedSeconds(const struct stat& info) {
  return static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
}

std::vector<std::string> entryNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return names;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(stream);
  return names;
}

// True when the folder and everything below it were last modified before the cut-off.
bool wholeTreeOlder(const std::string& dir, double cutoff, int depth) {
  if (depth > 256) return false;  // keep what is too deep to judge
  for (const auto& name : entryNames(dir)) {
    const std::string path = dir + "/" + name;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return false;
    if (!(modifiedSeconds(info) < cutoff)) return false;
    if (S_ISDIR(info.st_mode) && !wholeTreeOlder(path, cutoff, depth + 1)) return false;
  }
  return true;
}

}  // namespace

void pruneCache(const std::string& dir, std::int64_t keepDays) {
  const auto names = entryNames(dir);
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const double cutoff = now + static_cast<double>(keepDays) * -86400.0;
  for (const auto& name : names) {
    const std::string path = dir + "/" + name;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) continue;
    if (!(modifiedSeconds(info) < cutoff)) continue;
    if (S_ISDIR(info.st_mode)) {
      if (!wholeTreeOlder(path, cutoff, 0)) continue;  // something inside is still in use
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    } else {
      ::unlink(path.c_str());
    }
  }
}

}  // namespace shotsieve
