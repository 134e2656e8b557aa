#include "photos/folder/metadata/metadata_index.h"

#include <algorithm>
#include <cstring>

#include "photos/folder/private_files.h"

namespace shotsieve::folder {

namespace {

// FNV-1a: stable across builds and runs, unlike std::hash.
std::uint64_t fnv1a(std::string_view path) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : path) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// Whether two versions are of one file: see identifierOf.
bool sameFile(const FileStamp& a, const FileStamp& b, bool samePath) {
  if (a.inode != b.inode) return false;
  if (a.birthNanoseconds != 0 && b.birthNanoseconds != 0) return a.birthNanoseconds == b.birthNanoseconds;
  return samePath || (a.size == b.size && a.modifiedNanoseconds == b.modifiedNanoseconds);
}


}  // namespace

std::size_t MetadataIndex::UuidHash::operator()(const Uuid& uuid) const {
  std::uint64_t head;
  std::memcpy(&head, uuid.data(), sizeof head);
  return static_cast<std::size_t>(head);
}

MetadataIndex::MetadataIndex(std::string path) : path_(std::move(path)) {}

std::uint64_t MetadataIndex::pathHash(std::string_view relativePath) { return fnv1a(relativePath); }

void MetadataIndex::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  auto contents = readIndexFile(path_);
  if (!contents) return;
  loadedEntries_ = std::move(contents->entries);
  loadedVersion_ = contents->version;
  used_.assign(loadedEntries_.size(), false);
}

IndexEntry* MetadataIndex::findLocked(std::uint64_t hash) {
  loadLocked();
  if (const auto stored = stored_.find(hash); stored != stored_.end()) return &stored->second;
  const auto found = std::lower_bound(loadedEntries_.begin(), loadedEntries_.end(), hash,
                                      [](const IndexEntry& entry, std::uint64_t h) { return entry.pathHash < h; });
  if (found == loadedEntries_.end() || found->pathHash != hash) return nullptr;
  used_[static_cast<std::size_t>(found - loadedEntries_.begin())] = true;
  return &*found;
}

std::optional<ImageFacts> MetadataIndex::find(const std::string& relativePath, const FileStamp& stamp) {
  std::lock_guard lock(mutex_);
  const IndexEntry* entry = findLocked(pathHash(relativePath));
  if (entry == nullptr || !(entry->stamp == stamp) || (entry->flags & IndexEntry::kNoFacts)) return std::nullopt;
  return entry->facts();
}

void MetadataIndex::keep(const std::string& relativePath) {
  std::lock_guard lock(mutex_);
  findLocked(pathHash(relativePath));
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
  std::lock_guard lock(mutex_);
  const std::uint64_t hash = pathHash(relativePath);
  IndexEntry entry = IndexEntry::of(hash, stamp, facts);
  // A file read again (touched, edited in place) keeps the identifier it has.
  if (const IndexEntry* old = findLocked(hash); old != nullptr && old->hasUuid() && sameFile(old->stamp, stamp, true)) {
    entry.uuid = old->uuid;
    entry.flags |= IndexEntry::kHasUuid;
  }
  storeLocked(entry);
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
  if (const IndexEntry* elsewhere = entryOfFileLocked(stamp)) {
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
  }
  entry.uuid = uuid;
  entry.flags |= IndexEntry::kHasUuid;
  storeLocked(entry);
  return uuid;
}

void MetadataIndex::mergeInto(const std::vector<IndexEntry>& fileNow, Seen seen,
                              const std::function<void(const IndexEntry&)>& emit) {
  std::vector<const IndexEntry*> ours;
  ours.reserve(stored_.size());
  for (const auto& [_, entry] : stored_) ours.push_back(&entry);
  std::sort(ours.begin(), ours.end(), [](const IndexEntry* a, const IndexEntry* b) { return a->pathHash < b->pathHash; });
  // A file that this process loaded and did not meet in a walk of everything is gone.
  const auto goneHere = [&](std::uint64_t hash) {
    if (forgotten_.contains(hash)) return true;
    if (seen != Seen::everyFile) return false;
    const auto found = std::lower_bound(loadedEntries_.begin(), loadedEntries_.end(), hash,
                                        [](const IndexEntry& entry, std::uint64_t h) { return entry.pathHash < h; });
    return found != loadedEntries_.end() && found->pathHash == hash &&
           !used_[static_cast<std::size_t>(found - loadedEntries_.begin())];
  };
  auto next = ours.begin();
  for (const auto& entry : fileNow) {
    for (; next != ours.end() && (*next)->pathHash < entry.pathHash; ++next) emit(**next);
    if (next != ours.end() && (*next)->pathHash == entry.pathHash) continue;  // ours replaces it, in order
    if (!goneHere(entry.pathHash)) emit(entry);
  }
  for (; next != ours.end(); ++next) emit(**next);
}

void MetadataIndex::save(Seen seen, Afterwards afterwards) {
  std::lock_guard lock(mutex_);
  const bool dropping = seen == Seen::everyFile && std::find(used_.begin(), used_.end(), false) != used_.end();
  if (!path_.empty() && (changed_ || dropping) && makePrivateParentDirectories(path_)) {
    const IndexFileLock fileLock(path_);
    // What other processes wrote since the load is kept, unless this one knows better.
    std::vector<IndexEntry> newer;
    const bool replaced = indexFileVersion(path_).value_or(IndexFileVersion{}) != loadedVersion_;
    if (replaced) {
      if (auto contents = readIndexFile(path_)) newer = std::move(contents->entries);
    }
    const std::vector<IndexEntry>& fileNow = replaced ? newer : loadedEntries_;
    IndexFileWriter writer(path_);
    std::vector<IndexEntry> merged;
    mergeInto(fileNow, seen, [&](const IndexEntry& entry) {
      writer.add(entry);
      if (afterwards == Afterwards::keepLoaded) merged.push_back(entry);
    });
    const bool written = writer.commit();  // a cache: failing to keep it costs only time
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
  changed_ = false;
  loadedVersion_ = IndexFileVersion{};
}

}  // namespace shotsieve::folder
