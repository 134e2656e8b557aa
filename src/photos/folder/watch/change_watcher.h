#pragma once

#include <functional>
#include <memory>
#include <string>

#include "photos/folder/library_location.h"
#include "photos/folder/metadata/metadata_index.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// Watches the whole tree below the library root with inotify on a thread of
// its own and delivers newly complete asset files as changes: a file closed
// after writing or moved in is delivered at once; only a burst of events is
// gathered into one change. It never goes blind: a root that is missing,
// removed or made again is waited for from its nearest existing ancestor
// and scanned when it appears (its files are inserted); a change of the
// user-dirs file moves it to the new root; folders beyond the inotify watch
// limit are covered by a backing-off rescan of their modification times;
// lost events are made up by a rescan that backs off while overflows go on.
// With nothing to do the thread sleeps in the kernel.
class ChangeWatcher {
 public:
  using Deliver = std::function<void(const Change&)>;

  // Starts the thread; files already present count as known, not as inserted.
  ChangeWatcher(LibraryLocation location, MetadataIndex& index, Deliver deliver);
  // Stops and joins the thread.
  ~ChangeWatcher();

  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace shotsieve::folder
