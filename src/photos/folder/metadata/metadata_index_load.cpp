// Opening the index: searched where it lies until something needs it whole.
#include "photos/folder/metadata/metadata_index.h"

#include <algorithm>

#include "photos/folder/metadata/index_journal.h"

namespace shotsieve::folder {

void MetadataIndex::load() {
  std::lock_guard lock(mutex_);
  openLocked();
}

void MetadataIndex::openLocked() {
  if (loaded_ || search_) return;
  if (!path_.empty()) {
    // Under the file's lock, so that the index and its journal are looked at as one.
    const IndexFileLock fileLock(path_);
    if (readJournal(path_).empty()) search_ = IndexFileSearch::open(path_);
    if (search_) {
      loadedVersion_ = search_->version();
      return;
    }
  }
  loadLocked();
}

void MetadataIndex::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (path_.empty()) return;
  // Under the file's lock, so that the index and its journal are read as one.
  const IndexFileLock fileLock(path_);
  // The file that was searched, though another may have replaced it since:
  // the save merges what that one holds, as with any other process's.
  std::optional<IndexFileContents> read = search_ ? std::optional(search_->readWhole()) : readIndexFile(path_);
  search_.reset();
  if (auto& contents = read) {
    loadedEntries_ = std::move(contents->entries);
    loadedVersion_ = contents->version;
    changed_ = changed_ || contents->mended;  // damage found is mended: written back whole by this run
  }
  std::vector<IndexEntry> journal = readJournal(path_);
  // Folded into the file by this run's save, whether or not it learns
  // anything: a journal left by a watcher that ended before its own save
  // would else make every later run read the file whole.
  if (!journal.empty()) changed_ = true;
  loadedEntries_ = overlaid(std::move(loadedEntries_), journal);
  used_.assign(loadedEntries_.size(), false);
  // What the searches met is met.
  std::vector<std::uint64_t> met;
  for (const auto& [hash, entry] : searched_) {
    if (entry) met.push_back(hash);
  }
  markMetLocked(std::move(met));
}

void MetadataIndex::markMetLocked(std::vector<std::uint64_t> hashes) {
  std::sort(hashes.begin(), hashes.end());
  // Both sorted: one pass, not a search per file.
  std::size_t at = 0;
  for (const std::uint64_t hash : hashes) {
    while (at < loadedEntries_.size() && loadedEntries_[at].pathHash < hash) ++at;
    if (at < loadedEntries_.size() && loadedEntries_[at].pathHash == hash) used_[at] = true;
  }
}

}  // namespace shotsieve::folder
