#pragma once

#include <functional>
#include <string_view>

#include <sys/types.h>

namespace shotsieve {

// Calls `visit` with the name, type (a DT_ value, DT_UNKNOWN where the file
// system does not say) and inode of each entry of the open folder but "." and
// "..", until it returns false. Reads through a descriptor of its own, so the
// folder's handle keeps its place. False when the folder cannot be read.
struct FolderEntry {
  std::string_view name;
  unsigned char type;
  ino_t inode;
};
bool forEachFolderEntry(int folderFd, const std::function<bool(const FolderEntry& entry)>& visit);

}  // namespace shotsieve
