#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "photos/folder/watch/folder_events.h"
#include "photos/folder/watch/inotify_instance.h"

namespace shotsieve::folder {

// Folder events from inotify, on the instance the watcher shares. Sees every
// change made through this machine, at once; the watcher hands it the
// instance's events, and it keeps those of the folders it covers.
class InotifySource final : public FolderEventSource {
 public:
  explicit InotifySource(InotifyInstance& instance) : instance_(instance) {}

  bool add(const std::string& relativeFolder, int folderFd) override;
  // Covers a folder for the changes of its entries alone, which the kernel
  // arms without marking each file of it: a folder whose every file was
  // known. A file made or moved in is then told as written (to be looked at
  // at once), and the folder as stirred, to be added whole (Kind::quietFolderStirred).
  bool addQuiet(const std::string& relativeFolder, int folderFd);
  std::vector<std::string> quietFolders() const;
  void remove(const std::string& relativeFolder) override;
  void clear() override;
  bool covers(const std::string& relativeFolder) const override { return watches_.contains(relativeFolder); }
  Clock::time_point nextDue() const override { return Clock::time_point::max(); }
  void collect(Clock::time_point now, std::vector<FolderEvent>& events) override;

  // Takes an event of the instance; false when it is not about a covered folder.
  bool handle(const inotify_event& event);

 private:
  struct Watched {
    std::string folder;    // relative to the root
    bool quiet = false;    // watched for its entries alone
    bool stirred = false;  // quiet, and told to be watched whole
  };
  Watched& track(const std::string& relativeFolder, int watch);
  void dropWatch(int watch);

  InotifyInstance& instance_;
  std::unordered_map<int, Watched> folders_;  // by watch descriptor
  std::map<std::string, int> watches_;        // relative folder -> watch descriptor
  std::vector<FolderEvent> pending_;
};

}  // namespace shotsieve::folder
