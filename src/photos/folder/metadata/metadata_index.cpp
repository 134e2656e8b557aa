#include "photos/folder/metadata/metadata_index.h"

#include <algorithm>
#include <cstring>

#include "photos/fnv1a.h"
#include "photos/folder/metadata/index_journal.h"


namespace shotsieve::folder {

namespace {

// Whether two versions are of one file: see identifierOf.
bool sameFile(const FileStamp& a, const FileStamp& b, bool samePath) {
  if (a.fingerprinted || b.fingerprinted) return a.fingerprinted == b.fingerprinted && a.inode == b.inode;
  if (a.inode != b.inode) return false;
  if (a.birthNanoseconds != 0 && b.birthNanoseconds != 0) return a.birthNanoseconds == b.birthNanoseconds;
  return samePath || (a.size == b.size && a.modifiedNanoseconds == b.modifiedNanoseconds);
}

// The date a file's times give it: see assetOfFacts.
std::int64_t fileTimeOf(const FileStamp& stamp) {
  return stamp.birthNanoseconds != 0 ? std::min(stamp.birthNanoseconds, stamp.modifiedNanoseconds)
                                     : stamp.modifiedNanoseconds;
}

// The time a fingerprinted file keeps: the one of the same file known before.
std::int64_t timeToKeep(const IndexEntry* known, const FileStamp& stamp) {
  return known != nullptr && known->stamp.fingerprinted && known->fileTime != 0 ? known->fileTime : fileTimeOf(stamp);
}


}  // namespace

std::size_t MetadataIndex::UuidHash::operator()(const Uuid& uuid) const {
  std::uint64_t head;
  std::memcpy(&head, uuid.data(), sizeof head);
  return static_cast<std::size_t>(head);
}

MetadataIndex::MetadataIndex(std::string path) : path_(std::move(path)) {}

std::uint64_t MetadataIndex::pathHash(std::string_view relativePath) { return fnv1a(relativePath); }

void MetadataIndex::publish(const std::vector<std::string>& relativePaths) {
  std::lock_guard lock(mutex_);
  std::vector<IndexEntry> entries;
  for (const auto& path : relativePaths) {
    if (const IndexEntry* entry = findLocked(pathHash(path)); entry != nullptr && entry->hasUuid()) entries.push_back(*entry);
  }
  if (entries.empty() || path_.empty()) return;
  journal_.append(entries);
}

// Searched in place at most this many times: past that, reading the file
// whole costs less than searching on.
constexpr std::size_t kSearchesAtMost = 512;

IndexEntry* MetadataIndex::findLocked(std::uint64_t hash) {
  openLocked();
  if (!stored_.empty()) {
    if (const auto stored = stored_.find(hash); stored != stored_.end()) return &stored->second;
  }
  if (!loaded_) {
    // Entries handed out stay where they are: a caller may still hold one when the file is read whole.
    if (const auto known = searched_.find(hash); known != searched_.end()) return known->second ? &*known->second : nullptr;
    if (searched_.size() < kSearchesAtMost) {
      bool damaged = false;
      auto& entry = searched_[hash] = search_->find(hash, damaged);
      if (damaged) changed_ = true;  // the save reads the file whole, which leaves that entry out
      return entry ? &*entry : nullptr;
    }
    loadLocked();
  }
  const auto found = entryAtOrAfter(loadedEntries_, hash);
  if (found == loadedEntries_.end() || found->pathHash != hash) return nullptr;
  const auto index = static_cast<std::size_t>(found - loadedEntries_.cbegin());
  used_[index] = true;
  return &loadedEntries_[index];
}

std::optional<ImageFacts> MetadataIndex::find(const std::string& relativePath, const FileStamp& stamp, Need need) {
  return hold().find(relativePath, stamp, need);
}

std::optional<ImageFacts> MetadataIndex::Held::find(const std::string& relativePath, const FileStamp& stamp, Need need) {
  const IndexEntry* entry = index_.findLocked(pathHash(relativePath));
  if (entry == nullptr || !(entry->stamp == stamp) || (entry->flags & IndexEntry::kNoFacts)) return std::nullopt;
  // Facts read for one need serve another only when they hold what it needs.
  if ((entry->flags & IndexEntry::kMarksOnly) && need != Need::screenshotMarks) return std::nullopt;
  if ((entry->flags & IndexEntry::kMarksUnread) && need != Need::allButMarks) return std::nullopt;
  return entry->facts();
}

void MetadataIndex::keep(const std::string& relativePath) { hold().keep(relativePath); }

void MetadataIndex::Held::keep(const std::string& relativePath) { index_.findLocked(pathHash(relativePath)); }

void MetadataIndex::Held::keepAt(const std::string& relativePath, const FileStamp& stamp) {
  const std::uint64_t hash = pathHash(relativePath);
  const IndexEntry* entry = index_.findLocked(hash);
  if (entry == nullptr || entry->stamp == stamp) return;
  IndexEntry now;
  now.pathHash = hash;
  now.stamp = stamp;
  now.flags = IndexEntry::kNoFacts;
  if (entry->hasUuid() && sameFile(entry->stamp, stamp, true)) {
    now.uuid = entry->uuid;
    now.flags |= IndexEntry::kHasUuid;
  }
  if (stamp.fingerprinted) now.fileTime = timeToKeep(entry, stamp);
  index_.storeLocked(now);
}

std::optional<IndexEntry> MetadataIndex::Held::known(const std::string& relativePath) {
  const IndexEntry* entry = index_.findLocked(pathHash(relativePath));
  return entry != nullptr ? std::optional<IndexEntry>(*entry) : std::nullopt;
}

void MetadataIndex::storeLocked(const IndexEntry& entry) {
  if (const auto old = stored_.find(entry.pathHash); old != stored_.end()) {
    for (auto [at, end] = storedByInode_.equal_range(old->second.stamp.inode); at != end; ++at) {
      if (at->second == entry.pathHash) {
        storedByInode_.erase(at);
        break;
      }
    }
  }
  stored_[entry.pathHash] = entry;
  storedByInode_.emplace(entry.stamp.inode, entry.pathHash);
  if (entry.hasUuid()) holders_[entry.uuid] = entry.stamp;
  forgotten_.erase(entry.pathHash);
  changed_ = true;
}

void MetadataIndex::store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts) {
  hold().store(relativePath, stamp, facts);
}

void MetadataIndex::Held::store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts) {
  const std::uint64_t hash = pathHash(relativePath);
  IndexEntry entry = IndexEntry::of(hash, stamp, facts);
  // A file read again (touched, edited in place) keeps the identifier it has,
  // and so does one met under another name (renamed, moved), whatever it is
  // now: a screenshot renamed to a plain name, or out of its Screenshots
  // folder for a while, is the same asset when it comes back.
  const IndexEntry* known = index_.findLocked(hash);
  if (known == nullptr || !known->hasUuid() || !sameFile(known->stamp, stamp, true)) known = index_.entryOfFileLocked(stamp);
  if (known != nullptr && known->hasUuid()) {
    entry.uuid = known->uuid;
    entry.flags |= IndexEntry::kHasUuid;
  }
  if (stamp.fingerprinted) entry.fileTime = timeToKeep(known, stamp);
  index_.storeLocked(entry);
}

void MetadataIndex::forget(const std::string& relativePath) {
  std::lock_guard lock(mutex_);
  const std::uint64_t hash = pathHash(relativePath);
  if (stored_.contains(hash)) {
    const IndexEntry gone = stored_[hash];
    stored_.erase(hash);
    for (auto [at, end] = storedByInode_.equal_range(gone.stamp.inode); at != end; ++at) {
      if (at->second == hash) {
        storedByInode_.erase(at);
        break;
      }
    }
  }
  forgotten_.insert(hash);
  changed_ = true;
}

const IndexEntry* MetadataIndex::entryOfFileLocked(const FileStamp& stamp) {
  for (auto [at, end] = storedByInode_.equal_range(stamp.inode); at != end; ++at) {
    const IndexEntry& entry = stored_.at(at->second);
    if (entry.hasUuid() && sameFile(entry.stamp, stamp, false)) return &entry;
  }
  loadLocked();
  if (!loadedByInodeBuilt_) {
    loadedByInodeBuilt_ = true;
    loadedByInode_.reserve(loadedEntries_.size());
    for (const auto& entry : loadedEntries_) {
      if (entry.hasUuid()) loadedByInode_.emplace(entry.stamp.inode, &entry);
    }
  }
  for (auto [at, end] = loadedByInode_.equal_range(stamp.inode); at != end; ++at) {
    if (sameFile(at->second->stamp, stamp, false)) return at->second;
  }
  return nullptr;
}

bool MetadataIndex::heldByAnotherFileLocked(const Uuid& uuid, const FileStamp& stamp) {
  loadLocked();
  if (!holdersBuilt_) {
    holdersBuilt_ = true;
    for (const auto& entry : loadedEntries_) {
      if (entry.hasUuid()) holders_.emplace(entry.uuid, entry.stamp);
    }
  }
  const auto holder = holders_.find(uuid);
  if (holder == holders_.end()) return false;
  const FileStamp& other = holder->second;
  // Another inode, or the same inode born anew: another file. Without birth
  // times an inode cannot tell, and it is taken for the same file.
  return other.inode != stamp.inode ||
         (other.birthNanoseconds != 0 && stamp.birthNanoseconds != 0 && other.birthNanoseconds != stamp.birthNanoseconds);
}

Uuid MetadataIndex::identifierOf(const std::string& relativePath, const FileStamp& stamp,
                                 const std::function<Uuid(int)>& make) {
  std::lock_guard lock(mutex_);
  const std::uint64_t hash = pathHash(relativePath);
  const IndexEntry* here = findLocked(hash);
  if (here != nullptr && here->hasUuid() && sameFile(here->stamp, stamp, true)) return here->uuid;
  Uuid uuid;
  const IndexEntry* elsewhere = entryOfFileLocked(stamp);
  if (elsewhere != nullptr) {
    uuid = elsewhere->uuid;  // renamed, moved, or another name of it
  } else {
    uuid = make(0);
    for (int attempt = 1; heldByAnotherFileLocked(uuid, stamp) && attempt < 100; ++attempt) uuid = make(attempt);
  }
  // Recorded on the entry of this version, whose facts the caller stored or found.
  IndexEntry entry = here != nullptr && here->stamp == stamp ? *here : IndexEntry{};
  if (here == nullptr || !(here->stamp == stamp)) {
    entry.pathHash = hash;
    entry.stamp = stamp;
    entry.flags = IndexEntry::kNoFacts;  // never served as facts
    if (stamp.fingerprinted) entry.fileTime = timeToKeep(elsewhere, stamp);
  }
  entry.uuid = uuid;
  entry.flags |= IndexEntry::kHasUuid;
  storeLocked(entry);
  return uuid;
}

std::optional<std::int64_t> MetadataIndex::keptFileTime(const std::string& relativePath, const FileStamp& stamp) {
  std::lock_guard lock(mutex_);
  const IndexEntry* entry = findLocked(pathHash(relativePath));
  if (entry == nullptr || !(entry->stamp == stamp) || !stamp.fingerprinted || entry->fileTime == 0) return std::nullopt;
  return entry->fileTime;
}

}  // namespace shotsieve::folder
