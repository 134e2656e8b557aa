#pragma once

#include <string>
#include <vector>

namespace shotsieve {

// What a confined process may still reach of the file system.
struct FileAccess {
  std::vector<std::string> readable;  // folders and files, read beneath (folders also listed)
  std::vector<std::string> writable;  // folders, read and written beneath (files made, replaced, removed)
  std::vector<int> writableFolders;   // the same, for folders already open
};

// Restricts the calling thread, and every thread and process it starts from
// here on, to `access` with Landlock, at the best ABI the kernel offers; from
// ABI 4 on, no TCP connection or listening port either, and from ABI 6 on no
// abstract socket or signal beyond the domain. Paths that do not exist are
// left out. Returns the ABI used, 0 when the kernel (or a container) offers
// no Landlock, and -1 when it failed: nothing is restricted then.
int restrictFileAccess(const FileAccess& access);

}  // namespace shotsieve
