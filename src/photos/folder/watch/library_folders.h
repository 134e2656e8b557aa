#pragma once

#include <memory>
#include <string>
#include <unordered_set>

#include "photos/folder/scan/blind_file_systems.h"
#include "photos/folder/scan/folder_memory.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/folder/watch/file_inserter.h"
#include "photos/folder/watch/inotify_source.h"
#include "photos/folder/watch/known_files.h"
#include "photos/folder/watch/polling_source.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// The folders of the library while it is there, each covered by the sources
// of folder events it needs: inotify, and the poller where inotify cannot
// see every change or has no watch left (every folder, without inotify).
// Folders are reached from the root's handle, never through a link; no
// folder is held open between events, so a disk being watched can still be
// unmounted.
class LibraryFolders {
 public:
  // `watched` may be null: no inotify instance.
  LibraryFolders(InotifySource* watched, KnownFiles& known, FileInserter& inserter)
      : watched_(watched), known_(known), inserter_(inserter) {}

  // What becomes of the files found where the library is taken: counted as
  // known; handed on as new where not known; or left to a fetch that looks
  // at every file anyway and tells the watcher (KnownFiles::add).
  enum class Files { known, newHandedOn, toldByFetch };
  // Takes the library at its resolved root: covers every folder, and its
  // files as `files` says. Files left to a fetch: the folders are walked by
  // `records` (FolderMemory, loaded by the caller), if given.
  void attach(const std::string& resolvedRoot, Files files, FolderMemory* records = nullptr);
  void detach();
  bool attached() const { return !rootPath_.empty(); }
  PollingSource* poller() const { return polled_.get(); }
  // Has the mount table changed: file systems may not be what they were.
  void mountsChanged() { blind_.forget(); }

  // Covers a folder that appeared and everything below it; its new files are handed on.
  void appeared(const std::string& relativeFolder) {
    lookThrough(relativeFolder, open(relativeFolder), Files::newHandedOn, false);
  }
  // Looks through the whole tree again (events were lost): new files are
  // handed on, known files that are gone are let go.
  void lookAgain() { lookThrough("", open(""), Files::newHandedOn, true); }
  // Stops covering a folder and everything below it.
  void forget(const std::string& relativeFolder);
  // Covers a folder whole that was covered for its entries alone.
  void stirred(const std::string& relativeFolder);
  // True when the folder now holds a cache tag: it is no pictures.
  bool becameCache(const std::string& relativeFolder) const;
  bool isLink(const std::string& relativePath) const;
  // Is a source still looking at this folder.
  bool covers(const std::string& relativeFolder) const {
    return (watched_ && watched_->covers(relativeFolder)) || (polled_ && polled_->covers(relativeFolder));
  }

 private:
  UniqueFd open(const std::string& relativeFolder) const;
  void cover(const std::string& relativeFolder, int folderFd);
  bool coverUnlessCache(const std::string& relativeFolder, int folderFd);
  bool uncoveredAsCache(const std::string& relativeFolder, int folderFd);
  Entered coverBy(const std::string& relativeFolder, int folderFd, struct stat& status, const FolderMemory* records);
  void lookThrough(const std::string& relativeFolder, UniqueFd folder, Files files, bool sweep,
                   FolderMemory* records = nullptr);

  InotifySource* watched_;
  KnownFiles& known_;
  FileInserter& inserter_;
  std::unique_ptr<PollingSource> polled_;
  BlindFileSystems blind_;
  std::string rootPath_;
};

}  // namespace shotsieve::folder
