#pragma once

#include <functional>
#include <string_view>

namespace shotsieve {

// Calls `visit` with the name and type (a DT_ value, DT_UNKNOWN where the
// file system does not say) of each entry of the open folder but "." and
// "..", until it returns false. Reads through a descriptor of its own, so the
// folder's handle keeps its place. False when the folder cannot be read.
bool forEachFolderEntry(int folderFd, const std::function<bool(std::string_view name, unsigned char type)>& visit);

}  // namespace shotsieve
