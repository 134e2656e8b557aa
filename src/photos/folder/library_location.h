#pragma once

#include <string>
#include <string_view>

namespace shotsieve::folder {

// Where the folder library finds its files.
struct LibraryLocation {
  std::string root;         // the Pictures folder
  std::string accessState;  // the file that records the user's grant
  std::string cacheDir;     // for the metadata index; empty for none
};

// From HOME and the XDG variables of the environment.
LibraryLocation libraryLocationFromEnvironment();

// The XDG_PICTURES_DIR of a user-dirs.dirs text, or empty. Values are
// "$HOME/..." or "/..." with backslash escapes; any other line is ignored.
std::string picturesDirFromUserDirs(std::string_view userDirsText, std::string_view home);

}  // namespace shotsieve::folder
