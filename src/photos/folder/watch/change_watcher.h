#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "photos/folder/library_location.h"
#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/scan/fetch_assets.h"
#include "photos/folder/scan/folder_memory.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// Watches the whole tree below the library root on a thread of its own and
// delivers newly complete asset files as changes: a file closed after
// writing or moved in is delivered at once; a writer that never closes once
// its file has stopped growing and its data is whole. A file renamed or
// moved within the library, or touched, is the same file and gives no
// change. It never goes blind: the root is followed as the listing resolves
// it (links included) through the user-dirs file, removal, re-creation,
// moves and mounts; folders on file systems whose changes inotify cannot
// see, folders beyond the watch limit and, with no inotify instance at all,
// every folder are looked at by a poller that backs off while nothing
// changes; lost events are made up by a look at everything that backs off
// while overflows go on. With nothing to do the thread sleeps in the kernel.
class ChangeWatcher {
 public:
  using Deliver = std::function<void(const Change&)>;
  using Notice = std::function<void(const std::string& line)>;

  // Where the watcher learns which files were present when it began: from a
  // walk of its own, or from the fetch of the baseline that follows, which
  // looks at every file anyway or knows it unchanged (through filesPresent
  // and filesPresentIn).
  enum class Present { walk, toldByFetch };

  // Arms the watches and starts the thread; files already present count as
  // known, not as inserted. `notice` is told, once, when watching has to
  // make do without inotify.
  ChangeWatcher(LibraryLocation location, MetadataIndex& index, Deliver deliver, Notice notice = {},
                Present present = Present::walk);
  // Files present at the start, as a fetch found them; from any thread.
  void filesPresent(std::vector<SeenFile> files);
  // And the files of the folders it passed over, known from its last walk.
  void filesPresentIn(std::vector<PassedOverFolder> folders);
  // The record of folders for the baseline's fetch (told by a fetch only),
  // as loaded, with the names of the files it will pass over; once.
  std::optional<FolderMemory> recordsOfItsStart();
  // Stops and joins the thread.
  ~ChangeWatcher();

  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace shotsieve::folder
