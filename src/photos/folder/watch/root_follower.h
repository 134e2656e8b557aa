#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "photos/folder/library_location.h"
#include "photos/folder/watch/inotify_instance.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// Where the library root is, followed as it changes: the user-dirs file
// naming another folder (also one that appears later, with its folder), a
// link on the way to the root pointed elsewhere, the root removed, made
// again or moved away, and the file system under it unmounted or mounted
// again. It watches the folders on the way to the root (with inotify when
// there is an instance, else by looking every second) and the mount table.
class RootFollower {
 public:
  using Clock = std::chrono::steady_clock;

  // The root as the listing resolves it, with what identifies the folder.
  struct Place {
    std::string root;  // empty while there is no library
    dev_t device = 0;
    ino_t inode = 0;
    // The mount it is on: a file system mounted again between two looks may
    // come back with the same device number and root inode.
    std::uint64_t mount = 0;
    bool operator==(const Place&) const = default;
  };

  RootFollower(LibraryLocation location, InotifyInstance* inotify);

  // Where the root is now. Arms the watches around it first and looks again
  // after arming, so nothing that changes meanwhile goes unnoticed.
  Place locate();

  // What an event of the instance says of the folders around the root.
  enum class Around { notOurs, unimportant, rootMayHaveMoved };
  Around handle(const inotify_event& event) const;
  // True when the user-dirs file exists but may not be read: a confined
  // process can read only the one it started with, not one written anew.
  bool settingsOutOfReach() const;
  // True when the root may not be opened: a confined process reaches only
  // the root that was there when it was confined, not one made since.
  static bool outOfReach(const Place& place);
  // A descriptor that signals a change of the mount table (POLLPRI).
  int mountsDescriptor() const { return mounts_.get(); }
  // When the root must be looked at again by time (without inotify); max() for never.
  Clock::time_point nextDue() const;
  void lookedAt(Clock::time_point now);

 private:
  void rearm(const std::string& configuredRoot);

  LibraryLocation location_;
  InotifyInstance* inotify_;
  UniqueFd mounts_;
  struct Watch {
    int descriptor;
    std::string name;  // the entry on the way that matters there; empty: any
  };
  std::vector<Watch> watches_;
  Clock::time_point nextLook_{};
};

// The folder that holds a path ("/" for a path directly below it).
std::string parentFolder(const std::string& path);

}  // namespace shotsieve::folder
