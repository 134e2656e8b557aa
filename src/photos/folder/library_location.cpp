#include "photos/folder/library_location.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "photos/folder/private_files.h"

namespace shotsieve::folder {

namespace {

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/";
}

// An XDG base directory: the variable when it holds an absolute path, else the default.
std::string xdgDirectory(const char* variable, const std::string& fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] == '/' ? std::string(value) : fallback;
}

// The quoted value of a line, unescaped; empty when the line is not of the form.
std::string quotedValue(std::string_view rest) {
  if (rest.size() < 2 || rest.front() != '"') return {};
  std::string value;
  for (std::size_t i = 1; i < rest.size(); ++i) {
    const char c = rest[i];
    if (c == '\\' && i + 1 < rest.size()) {
      value += rest[++i];
    } else if (c == '"') {
      const std::string_view tail = rest.substr(i + 1);
      return tail.find_first_not_of(" \t\r") == std::string_view::npos ? value : std::string();
    } else {
      value += c;
    }
  }
  return {};  // no closing quote
}

}  // namespace

std::string picturesDirFromUserDirs(std::string_view text, std::string_view home) {
  std::string result;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    std::string_view view = line;
    while (!view.empty() && (view.front() == ' ' || view.front() == '\t')) view.remove_prefix(1);
    constexpr std::string_view key = "XDG_PICTURES_DIR=";
    if (!view.starts_with(key)) continue;
    const std::string value = quotedValue(view.substr(key.size()));
    if (value.starts_with("$HOME/")) {
      result = std::string(home) + value.substr(5);
    } else if (value == "$HOME") {
      result = std::string(home);
    } else if (value.starts_with("/")) {
      result = value;
    }
  }
  return result;
}

std::string currentLibraryRoot(const LibraryLocation& location) {
  if (location.userDirsFile.empty()) return location.root;
  constexpr std::size_t kMostUserDirsBytes = 64 * 1024;  // such files are a few hundred bytes
  const std::string text = readRegularFile(location.userDirsFile, kMostUserDirsBytes);
  const std::string root = picturesDirFromUserDirs(text, location.home);
  return root.empty() ? location.home + "/Pictures" : root;
}

LibraryLocation libraryLocationFromEnvironment() {
  const std::string home = homeDirectory();
  const std::string config = xdgDirectory("XDG_CONFIG_HOME", home + "/.config");
  LibraryLocation location;
  location.home = home;
  location.userDirsFile = config + "/user-dirs.dirs";
  location.root = currentLibraryRoot(location);
  location.accessState = xdgDirectory("XDG_STATE_HOME", home + "/.local/state") + "/shotsieve/photo-library-access";
  location.cacheDir = xdgDirectory("XDG_CACHE_HOME", home + "/.cache") + "/shotsieve";
  return location;
}

}  // namespace shotsieve::folder
