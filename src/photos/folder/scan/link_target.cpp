#include "photos/folder/scan/link_target.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "photos/no_link_open.h"

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
  std::string real = resolved(root).value_or(std::string());
  // The kernel's own file systems hold no pictures, and walking them reads
  // files whose reading has effects or never ends: no library there.
  for (const std::string_view system : {"/proc", "/sys", "/dev"}) {
    if (real == system || real.starts_with(std::string(system) + "/")) return {};
  }
  return real;
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

UniqueFd openFileInside(const std::string& resolvedRoot, const std::string& path) {
  if (resolvedRoot.empty()) return UniqueFd();
  UniqueFd file;
  if (path.size() < PATH_MAX) {
    const auto resolved = resolvedFileInside(resolvedRoot, path);
    if (resolved) file.reset(openWithoutLinks(*resolved));
  } else {
    const std::string prefix = resolvedRoot == "/" ? resolvedRoot : resolvedRoot + "/";
    if (!path.starts_with(prefix)) return UniqueFd();
    UniqueFd folder(::open(resolvedRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string_view rest = std::string_view(path).substr(prefix.size());
    for (auto slash = rest.find('/'); folder && slash != std::string_view::npos; slash = rest.find('/')) {
      const std::string name(rest.substr(0, slash));
      folder.reset(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      rest.remove_prefix(slash + 1);
    }
    if (folder) file = openBeneath(folder.get(), std::string(rest), O_RDONLY | O_NONBLOCK);
  }
  struct stat info;
  if (file && (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))) file.reset();
  return file;
}

}  // namespace shotsieve::folder
