#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "photos/folder/watch/backoff.h"

namespace shotsieve::folder {

// The folders that inotify could not watch (the user's watch limit was
// reached), covered by looking at their modification times instead: a folder
// whose time moved has gained or lost entries and is scanned again. Looks
// about once a second, less often while nothing changes.
class FolderPoller {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts covering a folder (relative to the root) as it is now.
  void add(const std::string& relativeFolder, const std::string& absolutePath);
  void remove(const std::string& relativeFolder);  // and every folder below it
  void forget(const std::string& relativeFolder);  // that folder alone: it is watched now
  bool empty() const { return folders_.empty(); }
  std::size_t size() const { return folders_.size(); }
  const std::map<std::string, std::int64_t>& folders() const { return folders_; }

  // When the next look is due; Clock::time_point::max() with nothing to cover.
  Clock::time_point nextLook() const;
  // Looks at every folder when due: those whose time moved (or that are gone)
  // are returned, and the cadence backs off when there are none.
  std::vector<std::string> look(const std::string& root, Clock::time_point now);

 private:
  std::map<std::string, std::int64_t> folders_;  // relative folder -> modification time, ns
  Backoff backoff_{std::chrono::milliseconds(1000), std::chrono::milliseconds(4000)};
  Clock::time_point next_{};
};

}  // namespace shotsieve::folder
