#include "photos/folder/private_directories.h"

#include <sys/stat.h>

#include <cerrno>

namespace shotsieve::folder {

bool makePrivateParentDirectories(const std::string& filePath) {
  for (std::size_t slash = filePath.find('/', 1); slash != std::string::npos; slash = filePath.find('/', slash + 1)) {
    if (::mkdir(filePath.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace shotsieve::folder
