#pragma once

#include <string>
#include <vector>

#include "photos/folder/metadata/index_file.h"

namespace shotsieve::folder {

// Beside the index, the entries a watcher has told a host of since the index
// was last written: appended at once (one write, visible to every other
// process as soon as it returns) where a save of the whole index would wait
// for its schedule, so that a listing in between gives the same identifier.
// Every load reads it over the index; every save folds it in and empties it.
// All three are called with the index's lock file held (IndexFileLock).
bool appendToJournal(const std::string& indexPath, const std::vector<IndexEntry>& entries);
// Its entries in the order written; a record cut short or damaged ends it.
std::vector<IndexEntry> readJournal(const std::string& indexPath);
void emptyJournal(const std::string& indexPath);

// `base` (sorted by path hash) with each of `newer` in place of the entry of
// its path, the last of them winning; sorted by path hash.
std::vector<IndexEntry> overlaid(std::vector<IndexEntry> base, const std::vector<IndexEntry>& newer);

}  // namespace shotsieve::folder
