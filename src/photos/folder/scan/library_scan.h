#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "photos/folder/scan/folder_memory.h"
#include "photos/photo_library.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// A file below the library root whose extension makes it an asset.
struct LibraryFile {
  std::string relativePath;  // raw bytes, "/"-separated
  std::string absolutePath;  // below the resolved root; may be longer than PATH_MAX
  std::string contentPath;   // where the bytes are: the file, or a link's target inside the root
  int mediaType = kImageMediaType;
  bool inScreenshotFolder = false;
  bool screenshotName = false;  // named the way a screenshot tool names its files
  int folderFd = -1;  // the open folder during a walk, so the status and the read need no path lookup
  // The folder kept open past the walk, for a path too long to be opened by
  // name or when the walk was asked to; empty for every other file.
  std::shared_ptr<const UniqueFd> heldFolder;
  bool folderUnchanged = false;  // its folder's list of entries is as the last walk left it
};

// Whether the walk passes over an entry of this name, file or folder, in
// every folder: hidden ones (also "." and ".."), and temporary files of
// writers, which are hidden until they are renamed into place.
inline bool walkSkipsName(std::string_view name) { return name.empty() || name.front() == '.'; }

// The media type of a file name by its extension, if it is an asset at all.
std::optional<int> mediaTypeOfName(std::string_view fileName);

using VisitFile = std::function<void(const LibraryFile&)>;
// What whoever is told of a folder before the walk enters it says of it.
enum class Entered {
  byStatus,  // list it by `status`
  anew,      // `status` could not be taken again: read it anew
  cache,     // it holds a cache tag: leave it out
};

// Told of a folder before the walk enters it, with its status as opened. One
// that watches the folder takes `status` again once watching (a change after
// that is heard, one before it is in the status), as the walk lists the folder
// by it. It also asks for the folder's cache tag, once watching: a tag written
// before is seen then, and one written after is heard of.
using EnterFolder = std::function<Entered(const std::string& relativeFolder, int folderFd, struct stat& status)>;

// What a walk could look at.
struct WalkOutcome {
  bool whole = true;  // every folder was read to its end: a file not visited is gone
  int failure = 0;    // why the walk could not do its work (out of descriptors or memory), an errno, or 0
};

// Whether each visited file holds its folder open past the walk (heldFolder),
// for reads on other threads to go through the folder rather than its path.
enum class FolderHandles { closedWithTheWalk, heldByFiles };

// Visits every asset file below the root at any depth, in no set order, with
// a bounded number of descriptors; a folder met again below itself (a bind
// mount of a folder above) is a loop, entered once. Hidden entries, symbolic
// links to folders and folders that hold a cache tag (CACHEDIR.TAG, as export
// directories do) are skipped, and so are links to files that do not resolve
// to a regular file inside the root; a missing root or an unreadable folder
// yields nothing, and the outcome says so: only a whole walk may take a file
// not visited for gone. `wantedType` skips other media types before any file
// is examined. Paths are built on the resolved root. Folders are reached
// through their parents' handles, never through a link. `enterFolder`, when
// given, is told of each folder below the root (by its path relative to the
// root, with its handle) before the walk enters it. With no `visit`, only the
// folders are walked. With a `memory`, a folder whose stamp is as remembered
// is not read again (its files say so: folderUnchanged), and what was read is
// remembered.
WalkOutcome walkLibrary(const std::string& root, std::optional<int> wantedType, const VisitFile& visit,
                        const EnterFolder& enterFolder = {}, FolderHandles handles = FolderHandles::closedWithTheWalk,
                        FolderMemory* memory = nullptr);

// The same below one folder of the library, opened by the caller; its path
// relative to the resolved root is `relativeFolder` ("" for the root itself).
WalkOutcome walkFolder(UniqueFd folder, const std::string& resolvedRoot, const std::string& relativeFolder,
                std::optional<int> wantedType, const VisitFile& visit, const EnterFolder& enterFolder = {},
                FolderHandles handles = FolderHandles::closedWithTheWalk, FolderMemory* memory = nullptr);

// True when a folder of the library (by its relative path) lies inside a
// folder named like a screenshot folder.
bool insideScreenshotFolder(std::string_view relativeFolder);

// The library file named `name` in an open folder of the library, if it is
// an asset file that the walk would visit; the caller has found it a regular
// file, or a link when `link`.
std::optional<LibraryFile> libraryFileIn(int folderFd, const std::string& resolvedRoot, const std::string& relativeFolder,
                                         std::string_view name, bool link);

}  // namespace shotsieve::folder
