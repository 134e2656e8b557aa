#include "photos/folder/scan/link_target.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace shotsieve::folder {

namespace {

std::optional<std::string> resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

}  // namespace

std::string resolvedLibraryRoot(const std::string& root) {
  if (root.empty()) return {};
  return resolved(root).value_or(std::string());
}

std::optional<std::string> resolvedFileInside(const std::string& resolvedRoot, const std::string& path) {
  if (resolvedRoot.empty()) return std::nullopt;
  auto target = resolved(path);
  if (!target) return std::nullopt;
  const std::string prefix = resolvedRoot == "/" ? resolvedRoot : resolvedRoot + "/";
  if (!target->starts_with(prefix)) return std::nullopt;
  struct stat info;
  if (::lstat(target->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return target;
}

}  // namespace shotsieve::folder
