#include "photos/folder_entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace shotsieve {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool forEachFolderEntry(int folderFd, const std::function<bool(const FolderEntry& entry)>& visit) {
  const int own = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return false;
  const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(own));
  if (!dir) {
    ::close(own);  // fdopendir takes the descriptor only when it succeeds
    return false;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!visit(FolderEntry{name, entry->d_type, entry->d_ino})) break;
  }
  return true;
}

}  // namespace shotsieve
