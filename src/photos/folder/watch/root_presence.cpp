#include "photos/folder/watch/root_presence.h"

#include <sys/stat.h>

#include "photos/folder/scan/link_target.h"

namespace shotsieve::folder {

namespace {

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool inside(const std::string& path, const std::string& folder) {
  return !folder.empty() && (path == folder || path.starts_with(folder == "/" ? folder : folder + "/"));
}

}  // namespace

std::string parentFolder(const std::string& path) {
  const auto slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string usableLibraryRoot(const std::string& configuredRoot, const std::string& home) {
  if (configuredRoot.empty() || !isFolder(configuredRoot)) return {};
  const std::string resolved = resolvedLibraryRoot(configuredRoot);
  const std::string resolvedHome = home.empty() ? std::string() : resolvedLibraryRoot(home);
  if (inside(configuredRoot, home) && !resolvedHome.empty() && !inside(resolved, resolvedHome)) return {};
  return resolved;
}

std::string nearestExistingAncestor(const std::string& configuredRoot) {
  std::string folder = parentFolder(configuredRoot);
  while (folder != "/" && !isFolder(folder)) folder = parentFolder(folder);
  return folder;
}

}  // namespace shotsieve::folder
