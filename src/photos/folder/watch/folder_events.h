#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace shotsieve::folder {

// What a source of folder events tells the watcher, by paths relative to the
// library root. A source reports what it saw; deciding whether a file is a
// new, complete asset is left to others.
struct FolderEvent {
  enum class Kind {
    fileWritten,     // closed after writing, moved in, or a link made: may be complete now
    fileChanging,    // created or growing, not closed (or a source that sees no closes): perhaps a link
    fileGrowing,     // written to, not closed: no link, as a link's target is written under its own name
    fileGone,        // deleted or moved away
    accessChanged,   // its mode or owner changed: a file that could not be read may be readable now
    folderAppeared,  // made or moved in: to be covered and looked through
    folderGone,      // deleted or moved away: no longer covered
    cacheTagWritten,  // the folder may have become a cache (CACHEDIR.TAG), whose files are no pictures
    lookAgain,       // events were lost: everything is to be looked through again
    rootChanged,     // the root itself went, or the file system under it: to be found again
    quietFolderStirred,  // a folder watched for its entries alone got a new one: to be watched whole
  };
  Kind kind;
  std::string relativePath;
};

// A source of folder events: inotify, or looking at folders from time to time.
class FolderEventSource {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~FolderEventSource() = default;

  // Starts covering a folder of the library, open as `folderFd` (the caller's
  // handle, kept only as long as the call). False when it cannot: the source
  // has no room left (the inotify watch limit).
  virtual bool add(const std::string& relativeFolder, int folderFd) = 0;
  // Stops covering a folder and every folder below it.
  virtual void remove(const std::string& relativeFolder) = 0;
  // Stops covering anything: the root went.
  virtual void clear() = 0;
  virtual bool covers(const std::string& relativeFolder) const = 0;
  // When the source next wants to be asked, by time alone; Clock::time_point::max() for never.
  virtual Clock::time_point nextDue() const = 0;
  // A descriptor that becomes readable when the source has something to say
  // (an eventfd, read by the caller that polls it before collect()); -1 for none.
  virtual int descriptor() const { return -1; }
  // Appends what happened since the last time.
  virtual void collect(Clock::time_point now, std::vector<FolderEvent>& events) = 0;
};

}  // namespace shotsieve::folder
