#pragma once

#include <string>
#include <vector>

#include "photos/folder/metadata/index_file.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// Beside the index, the entries a watcher has told a host of since the index
// was last written: appended at once (one write, visible to every other
// process as soon as it returns) where a save of the whole index would wait
// for its schedule, so that a listing in between gives the same identifier.
// Every load reads it over the index; every save folds it in and empties it.
// Both are called with the index's lock file held (IndexFileLock).
// Its entries in the order written; a record cut short or damaged ends it.
std::vector<IndexEntry> readJournal(const std::string& indexPath);
void emptyJournal(const std::string& indexPath);

// What a watcher appends through: the index's lock file and the journal,
// opened at the first append and kept open (a line costs four system calls
// fewer), each opened again once it is found removed (a cache folder cleared
// by hand), so that the lock still shuts out the others' saves.
class JournalWriter {
 public:
  explicit JournalWriter(std::string indexPath) : indexPath_(std::move(indexPath)) {}
  bool append(const std::vector<IndexEntry>& entries);

 private:
  bool lock();
  const std::string indexPath_;
  UniqueFd lock_, journal_;
};

// `base` (sorted by path hash) with each of `newer` in place of the entry of
// its path, the last of them winning; sorted by path hash.
std::vector<IndexEntry> overlaid(std::vector<IndexEntry> base, const std::vector<IndexEntry>& newer);

}  // namespace shotsieve::folder
