#include "cli/bundle_usage_text.h"
#include "photos/folder/folder_library.h"
#include "photos/photo_library.h"

namespace shotsieve {

PhotoLibrary& sharedPhotoLibrary() {
  // Made on first use and never destroyed: its threads may still be at work
  // while the process exits.
  static PhotoLibrary* const library =
      new folder::FolderLibrary(folder::libraryLocationFromEnvironment(), std::string(kPhotoLibraryUsageText));
  return *library;
}

}  // namespace shotsieve
