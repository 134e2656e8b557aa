#include "cli/confinement.h"

#include <sys/prctl.h>

#include <string>

#include "cli/landlock_rules.h"
#include "cli/seccomp_filter.h"
#include "photos/folder/library_location.h"
#include "photos/folder/private_files.h"
#include "photos/folder/scan/link_target.h"

namespace shotsieve {

namespace {

// What the C and C++ runtimes, libpng, exiv2 (iconv's modules) and the time
// zone need once the program runs.
constexpr const char* kSystemReadable[] = {
    "/usr", "/lib", "/lib64", "/lib32", "/libx32", "/etc/ld.so.cache", "/etc/localtime", "/dev/urandom",
    "/proc/self",  // the process's own descriptors and mount table, as /proc/<pid>
};

std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

FileAccess accessOfCommand(int writableFolder) {
  FileAccess access;
  for (const char* path : kSystemReadable) access.readable.emplace_back(path);
  const folder::LibraryLocation location = folder::libraryLocationFromEnvironment();
  const std::string root = folder::resolvedLibraryRoot(folder::currentLibraryRoot(location));
  if (!root.empty()) access.readable.push_back(root);
  // The settings file itself, not its folder: that holds other programs'
  // settings. Replaced by a new file, it is out of reach, and a watch hands
  // over to a fresh process that reads it again.
  if (!location.userDirsFile.empty()) access.readable.push_back(location.userDirsFile);
  access.readable.push_back(folderOf(location.accessState));
  if (!location.cacheDir.empty() && folder::makePrivateParentDirectories(location.cacheDir + "/metadata-index")) {
    access.writable.push_back(location.cacheDir);
  }
  access.writableFolders.push_back(writableFolder);
  return access;
}

bool noNewPrivileges() { return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0; }

}  // namespace

bool confineProcess(int writableFolder) {
  if (!noNewPrivileges()) return false;
  const int landlock = restrictFileAccess(accessOfCommand(writableFolder));
  const bool filtered = installSyscallFilter(ProgramStarts{});
  return landlock > 0 || filtered;
}

bool confineSupervisor(int programFd) {
  if (!noNewPrivileges()) return false;
  return installSyscallFilter(ProgramStarts{programFd});
}

}  // namespace shotsieve
