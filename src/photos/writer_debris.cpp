#include "photos/writer_debris.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <random>
#include <vector>

#include "photos/folder_entries.h"
#include "photos/unique_fd.h"

namespace shotsieve {

namespace {

std::optional<long> digitsOf(std::string_view text) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return value;
}

}  // namespace

std::string temporaryNameBeside(const std::string& path) {
  return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(std::random_device{}());
}

std::optional<long> writerOfTemporaryName(std::string_view name, std::string_view baseName) {
  const std::string prefix = std::string(baseName) + ".tmp.";
  if (!name.starts_with(prefix)) return std::nullopt;
  name.remove_prefix(prefix.size());
  const auto dot = name.find('.');
  if (dot == std::string_view::npos || !digitsOf(name.substr(dot + 1))) return std::nullopt;
  return digitsOf(name.substr(0, dot));
}

bool writerHasEnded(long pid) {
  if (pid <= 0 || pid == static_cast<long>(::getpid())) return false;
  // ESRCH only when there is no such process at all; a live one that may
  // not be signalled answers EPERM.
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

std::size_t removeFilesOfEndedWriters(int folderFd, const std::function<std::optional<long>(std::string_view)>& writerOf) {
  std::vector<std::string> debris;
  forEachFolderEntry(folderFd, [&](const FolderEntry& entry) {
    if (entry.type == DT_DIR) return true;
    if (const auto pid = writerOf(entry.name); pid && writerHasEnded(*pid)) debris.emplace_back(entry.name);
    return true;
  });
  std::size_t removed = 0;
  for (const auto& name : debris) removed += ::unlinkat(folderFd, name.c_str(), 0) == 0;
  return removed;
}

void removeTemporariesOfEndedWritersBeside(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return;
  const UniqueFd folder(::open(path.substr(0, slash + 1).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::string base = path.substr(slash + 1);
  if (folder) removeFilesOfEndedWriters(folder.get(), [&](std::string_view name) { return writerOfTemporaryName(name, base); });
}

}  // namespace shotsieve
