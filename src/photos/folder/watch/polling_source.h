#pragma once

#include <memory>
#include <string>
#include <vector>

#include "photos/folder/watch/folder_events.h"

namespace shotsieve::folder {

// Folder events found by looking at folders from time to time: for folders
// beyond the inotify watch limit, on file systems whose changes inotify
// cannot see (a network or user-space mount written from elsewhere), and
// for every folder when no inotify instance can be had. Each look lists the
// folders and compares their entries (name, inode, kind) with the last
// look: about once a second while things change, backing off to every
// eight seconds while nothing does. The looking runs on a thread of its own,
// so a mount that hangs holds up only the looking. No folder is held open
// between looks: a disk being watched can still be unmounted.
class PollingSource final : public FolderEventSource {
 public:
  explicit PollingSource(std::string resolvedRoot);
  ~PollingSource() override;  // stops the thread; one stuck in a dead mount is let go
  PollingSource(const PollingSource&) = delete;
  PollingSource& operator=(const PollingSource&) = delete;

  bool add(const std::string& relativeFolder, int folderFd) override;
  void remove(const std::string& relativeFolder) override;
  void clear() override;
  bool covers(const std::string& relativeFolder) const override;
  Clock::time_point nextDue() const override { return Clock::time_point::max(); }
  int descriptor() const override;
  void collect(Clock::time_point now, std::vector<FolderEvent>& events) override;

  static constexpr std::chrono::milliseconds kFirstLook{1000};
  static constexpr std::chrono::milliseconds kLongestWait{8000};

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace shotsieve::folder
