#pragma once

#include <functional>
#include <memory>
#include <string>

#include "photos/folder/metadata/metadata_index.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// Watches the whole tree below the root with inotify on a thread of its own
// and delivers each batch of newly complete asset files as one change.
class ChangeWatcher {
 public:
  using Deliver = std::function<void(const Change&)>;

  // Starts the thread; files already present count as known, not as inserted.
  ChangeWatcher(std::string root, MetadataIndex& index, Deliver deliver);
  // Stops and joins the thread.
  ~ChangeWatcher();

  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace shotsieve::folder
