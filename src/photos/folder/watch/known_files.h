#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "photos/folder/scan/fetch_assets.h"
#include "photos/folder/scan/folder_memory.h"
#include "photos/folder/watch/wake_descriptor.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// What makes a file the same file while it is renamed, moved or touched: its
// inode and birth time (0 where the file system keeps none).
struct FileKey {
  std::uint64_t inode = 0;
  std::int64_t birthNanoseconds = 0;
  bool operator==(const FileKey&) const = default;
};

// The files the watcher knows: present when it began or reported since, by
// path and by file. A file that leaves a path is remembered for a while, so
// that a rename or move (out of one folder, into another, seen in either
// order and by different sources) is no new file; after that it is
// forgotten, so that a watch that runs for weeks does not grow.
class KnownFiles {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kRemembered = std::chrono::seconds(10);  // longer than the poller's longest wait

  void add(const std::string& relativePath, const FileKey& key);
  bool contains(const FileKey& key) const;
  // The file at the path left it (or every file below a folder).
  void left(const std::string& relativePath, Clock::time_point now);
  void leftBelow(const std::string& relativeFolder, Clock::time_point now);
  // Every known file whose path is not among these left it (a look at the whole tree).
  void leftExcept(const std::unordered_set<std::string>& present, Clock::time_point now);
  // Forgets the files that left more than kRemembered ago; returns the paths
  // they left that no file has taken since.
  std::vector<std::string> forgetDeparted(Clock::time_point now);
  Clock::time_point nextDue() const;
  std::size_t size() const { return paths_.size(); }

 private:
  struct KeyHash {
    std::size_t operator()(const FileKey& key) const {
      return static_cast<std::size_t>(key.inode * 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(key.birthNanoseconds));
    }
  };
  struct Departure {
    std::string path;
    FileKey key;
    Clock::time_point when;
  };
  void drop(const FileKey& key);
  void depart(std::string path, const FileKey& key, Clock::time_point now);

  std::map<std::string, FileKey> paths_;
  std::unordered_map<FileKey, int, KeyHash> present_;  // how many paths each file has here
  std::deque<Departure> departed_;                     // oldest first
  std::unordered_map<FileKey, int, KeyHash> departedKeys_;
};

// Files present at the start, told by a fetch on its threads, until the
// watcher's thread knows them. The files of folders the fetch passed over
// are told by folder, and their keys are taken from the index (the file
// system's where it has none) on the watcher's thread, after the fetch has
// given its answer but before any event is handled.
class PresentFiles {
 public:
  void tell(std::vector<SeenFile> files);
  void tellFolders(std::vector<PassedOverFolder> folders);
  // An eventfd, readable once folders were told: the caller that polls it
  // reads it before moveInto(), which leaves it as it is.
  int descriptor() const { return told_.get(); }
  void moveInto(KnownFiles& known, MetadataIndex& index, const std::string& resolvedRoot);

 private:
  std::mutex mutex_;
  std::vector<SeenFile> files_;
  std::vector<PassedOverFolder> folders_;
  UniqueFd told_{wakeDescriptor()};
};

}  // namespace shotsieve::folder
