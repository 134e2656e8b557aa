#pragma once

#include <string>
#include <string_view>

namespace shotsieve::folder {

// Where the folder library finds its files.
struct LibraryLocation {
  std::string root;          // the Pictures folder
  std::string accessState;   // the file that records the user's grant
  std::string cacheDir;      // for the metadata index; empty for none
  std::string userDirsFile;  // where the root was looked up, to follow it when it changes; empty: the root is fixed
  std::string home;          // the user's home folder; a root link leading outside it is not followed by the watcher
};

// The Pictures folder as the user-dirs file names it now, else HOME/Pictures;
// the fixed root when the location has no user-dirs file.
std::string currentLibraryRoot(const LibraryLocation& location);

// From HOME and the XDG variables of the environment.
LibraryLocation libraryLocationFromEnvironment();

// The XDG_PICTURES_DIR of a user-dirs.dirs text, or empty. Values are
// "$HOME/..." or "/..." with backslash escapes; any other line is ignored.
std::string picturesDirFromUserDirs(std::string_view userDirsText, std::string_view home);

}  // namespace shotsieve::folder
