#include "cli/bundle_usage_text.h"
#include "photos/folder/folder_library.h"
#include "photos/photo_library.h"

namespace shotsieve {

PhotoLibrary& sharedPhotoLibrary() {
  // Made on first use, and destroyed with the library when a host unloads it
  // (no thread of it runs past a call); a watch ends its process without
  // running destructors.
  static folder::FolderLibrary library(folder::libraryLocationFromEnvironment(), std::string(kPhotoLibraryUsageText));
  return library;
}

}  // namespace shotsieve
