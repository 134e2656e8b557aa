// Writing the index back: what this process learnt, merged under a lock with
// what other processes wrote since it was loaded.
#include "photos/folder/metadata/metadata_index.h"

#include <fcntl.h>

#include <algorithm>

#include "photos/folder/metadata/index_journal.h"
#include "photos/folder/private_files.h"
#include "photos/writer_debris.h"

namespace shotsieve::folder {

namespace {

// Whether a walk of what `seen` names would have met the entry's file. Its
// format tells its kind; content that no format claims counts as an image.
bool coveredBy(MetadataIndex::Seen seen, const IndexEntry& entry) {
  switch (seen) {
    case MetadataIndex::Seen::everyFile: return true;
    case MetadataIndex::Seen::everyImage: return entry.format != FileFormat::video;
    case MetadataIndex::Seen::everyVideo: return entry.format == FileFormat::video;
    case MetadataIndex::Seen::someFiles: return false;
  }
  return false;
}

}  // namespace

void MetadataIndex::mergeInto(const std::vector<IndexEntry>& fileNow, Seen seen,
                              const std::function<void(const IndexEntry&)>& emit) {
  std::vector<const IndexEntry*> ours;
  ours.reserve(stored_.size());
  for (const auto& [_, entry] : stored_) ours.push_back(&entry);
  std::sort(ours.begin(), ours.end(), [](const IndexEntry* a, const IndexEntry* b) { return a->pathHash < b->pathHash; });
  // A file that this process loaded and did not meet in a walk of every file of its kind is gone.
  const auto goneHere = [&](std::uint64_t hash) {
    if (forgotten_.contains(hash)) return true;
    if (seen == Seen::someFiles) return false;
    const auto found = entryAtOrAfter(loadedEntries_, hash);
    return found != loadedEntries_.end() && found->pathHash == hash &&
           !used_[static_cast<std::size_t>(found - loadedEntries_.begin())] && coveredBy(seen, *found);
  };
  auto next = ours.begin();
  for (const auto& entry : fileNow) {
    for (; next != ours.end() && (*next)->pathHash < entry.pathHash; ++next) emit(**next);
    if (next != ours.end() && (*next)->pathHash == entry.pathHash) continue;  // ours replaces it, in order
    if (!goneHere(entry.pathHash)) emit(entry);
  }
  for (; next != ours.end(); ++next) emit(**next);
}

void MetadataIndex::save(Seen seen, Afterwards afterwards, const PassedOverFiles& passedOver) {
  std::lock_guard lock(mutex_);
  if (!path_.empty()) removeTemporariesOfEndedWritersBeside(path_);  // a run killed while it wrote left its file
  // Entries not met are let go of only when the counts leave room for one:
  // files passed over count as met, and each has one entry. That keeps the
  // usual listing of an unchanged library from looking each of them up; one
  // that has no entry (never read) only delays letting go until a change.
  const std::size_t entries = loaded_ ? loadedEntries_.size() : search_ ? search_->entries() : 0;
  const std::size_t met = loaded_ ? static_cast<std::size_t>(std::count(used_.begin(), used_.end(), true))
                                  : static_cast<std::size_t>(std::count_if(searched_.begin(), searched_.end(),
                                                                           [](const auto& found) { return found.second.has_value(); }));
  const bool mayDrop = seen != Seen::someFiles && met + passedOver.count < entries &&
                       (!passedOver.walkHeld || passedOver.walkHeld());
  if (!mayDrop) seen = Seen::someFiles;
  if (search_ && !changed_ && !mayDrop) {  // nothing learnt, nothing to let go of: the file stays as it is
    if (afterwards == Afterwards::release) releaseLocked();
    return;
  }
  if (search_) loadLocked();  // written back whole
  if (mayDrop && passedOver.count > 0) {
    if (const auto hashes = passedOver.hashes()) {
      markMetLocked(*hashes);
    } else {
      seen = Seen::someFiles;  // files met under names unknown: none is let go of
    }
  }
  bool dropping = false;
  for (std::size_t i = 0; seen != Seen::someFiles && !dropping && i < used_.size(); ++i) {
    dropping = !used_[i] && coveredBy(seen, loadedEntries_[i]);
  }
  if (!path_.empty() && (changed_ || dropping) && makePrivateParentDirectories(path_)) {
    const IndexFileLock fileLock(path_);
    // What other processes wrote since the load is kept, unless this one knows better.
    std::vector<IndexEntry> newer;
    const bool replaced = indexFileVersion(path_).value_or(IndexFileVersion{}) != loadedVersion_;
    if (replaced) {
      if (auto contents = readIndexFile(path_)) newer = std::move(contents->entries);
    }
    std::vector<IndexEntry> journal = readJournal(path_);  // what watchers told hosts since
    if (!journal.empty()) newer = overlaid(replaced ? std::move(newer) : loadedEntries_, journal);
    const std::vector<IndexEntry>& fileNow = replaced || !journal.empty() ? newer : loadedEntries_;
    IndexFileWriter writer(path_);
    std::vector<IndexEntry> merged;
    mergeInto(fileNow, seen, [&](const IndexEntry& entry) {
      writer.add(entry);
      if (afterwards == Afterwards::keepLoaded) merged.push_back(entry);
    });
    const bool written = writer.commit();  // a cache: failing to keep it costs only time
    if (written && !journal.empty()) emptyJournal(path_);  // folded in
    if (afterwards == Afterwards::keepLoaded && written) {
      releaseLocked();
      loadedEntries_ = std::move(merged);
      loadedVersion_ = indexFileVersion(path_).value_or(IndexFileVersion{});
      used_.assign(loadedEntries_.size(), true);
      loaded_ = true;
      return;
    }
  }
  if (afterwards == Afterwards::release) releaseLocked();
}

void MetadataIndex::releaseLocked() {
  // Swapped out, not assigned "{}": that would clear them but keep their memory.
  std::vector<IndexEntry>().swap(loadedEntries_);
  std::vector<bool>().swap(used_);
  std::unordered_map<std::uint64_t, IndexEntry>().swap(stored_);
  std::unordered_set<std::uint64_t>().swap(forgotten_);
  std::unordered_multimap<std::uint64_t, const IndexEntry*>().swap(loadedByInode_);
  std::unordered_multimap<std::uint64_t, std::uint64_t>().swap(storedByInode_);
  std::unordered_map<Uuid, FileStamp, UuidHash>().swap(holders_);
  loadedByInodeBuilt_ = holdersBuilt_ = false;
  loaded_ = false;
  search_.reset();
  std::unordered_map<std::uint64_t, std::optional<IndexEntry>>().swap(searched_);
  changed_ = false;
  loadedVersion_ = IndexFileVersion{};
}

}  // namespace shotsieve::folder
