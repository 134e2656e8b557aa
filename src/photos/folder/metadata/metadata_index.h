#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "photos/folder/metadata/image_metadata.h"
#include "photos/folder/metadata/index_file.h"
#include "photos/folder/metadata/index_journal.h"

namespace shotsieve::folder {

// Files that a walk passed over without looking at them, still there: how
// many, and their path hashes, asked for only when a save of the index needs
// them to tell which entries it did not meet (none when they cannot be told:
// then no entry is let go of).
struct PassedOverFiles {
  std::size_t count = 0;
  std::function<std::optional<std::vector<std::uint64_t>>()> hashes;
  // Whether every folder the walk listed is still as it was then: asked only
  // before letting go of entries, which a file renamed meanwhile (met under
  // neither name) must keep.
  std::function<bool()> walkHeld;
};

// What the library remembers of each file, by its path relative to the root:
// the image facts read from it, so that a listing over unchanged files reads
// no image data, and the identifier it was given when it was first seen, so
// that it keeps it when it is touched, renamed or moved. Kept in one file,
// sorted by path hash: a fetch that needs a few entries searches the file
// where it lies, and what needs them all (a new file's identifier, a save
// that writes) reads it whole, in one read into one table. Paths are kept as 64-bit hashes: with the file's version also
// having to match, a collision cannot serve wrong facts in practice. A
// damaged or foreign file is dropped and rebuilt without a word; several
// processes merge what they learnt into it in turn. Safe to use from several
// threads.
class MetadataIndex {
 public:
  // An empty path keeps the index in memory only.
  explicit MetadataIndex(std::string path);

  // The facts of this version of the file, when they hold what is needed.
  std::optional<ImageFacts> find(const std::string& relativePath, const FileStamp& stamp, Need need = Need::everything);
  void store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts);

  // The index under its lock, for a batch of finds, keeps and stores at
  // once: readers on several threads then take the lock once per batch.
  class Held {
   public:
    std::optional<ImageFacts> find(const std::string& relativePath, const FileStamp& stamp, Need need = Need::everything);
    void store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts);
    void keep(const std::string& relativePath);
    // The same of a file passed over at the version `stamp`: where the index
    // knew another, its entry becomes one of this version that serves no
    // facts (they are read when needed), with the identifier where it is the
    // same file, so that what it knows of the file's times stays true.
    void keepAt(const std::string& relativePath, const FileStamp& stamp);
    // The entry of the file at the path as it was last read, whatever its
    // version now, and kept as keep() does; nothing when none is known.
    std::optional<IndexEntry> known(const std::string& relativePath);

   private:
    friend class MetadataIndex;
    explicit Held(MetadataIndex& index) : index_(index), lock_(index.mutex_) {}
    MetadataIndex& index_;
    std::unique_lock<std::mutex> lock_;
  };
  Held hold() { return Held(*this); }
  // Reads the file now, if it has not been read (else the first find does).
  void load();
  // Keeps the entry of a file that still exists but was not read this time
  // (a dated fetch passes over old files), so that the next save keeps it.
  void keep(const std::string& relativePath);
  // Makes the identifiers of these files, as this process knows them, the
  // ones every other process finds from now on, before a host is told of
  // them: written to the index's journal at once rather than with the next
  // save.
  void publish(const std::vector<std::string>& relativePaths);
  // Lets go of the entry of a file that is gone (the watcher saw it leave).
  void forget(const std::string& relativePath);

  // The identifier of the file at the path, given once, when it was first
  // seen: found under the path while the same file is there, else under the
  // file itself after a rename or move, or for another name of it (a hard
  // link). The same file is the same inode with the same birth time, or where
  // the file system keeps none, the same inode at the same path or with the
  // same size and modification time. A file seen for the first time gets
  // make(0), or make(1), make(2) ... while that one belongs to another file.
  // Call it after the file's facts are stored or found for this version.
  Uuid identifierOf(const std::string& relativePath, const FileStamp& stamp, const std::function<Uuid(int)>& make);

  // The date a fingerprinted file keeps, its time when first seen, where
  // the file system restamps what is renamed. Call it after the facts of
  // this version are stored or found.
  std::optional<std::int64_t> keptFileTime(const std::string& relativePath, const FileStamp& stamp);

  // What the fetch before a save looked at. Only a walk that read every
  // folder of the library may take a file it did not meet for gone, and only
  // a file of the media type it walked: a library that is away, a folder that
  // could not be opened or a walk of the images alone forgets nothing.
  enum class Seen { someFiles, everyImage, everyVideo, everyFile };
  enum class Afterwards { release, keepLoaded };
  // Writes what changed since loading into the file, merged under a lock with
  // what other processes wrote meanwhile; nothing when nothing changed. Where
  // `seen` says a walk met every file of a kind, the loaded entries of that
  // kind that it did not meet are dropped. Afterwards the entries are let go
  // (read again when next needed) or kept, for a watcher.
  void save(Seen seen = Seen::someFiles, Afterwards afterwards = Afterwards::release,
            const PassedOverFiles& passedOver = {});

  // The hash under which a path is kept.
  static std::uint64_t pathHash(std::string_view relativePath);

 private:
  // Opens the file to be searched in place; reads it whole where it must.
  void openLocked();
  // Reads the file whole, for what needs every entry.
  void loadLocked();
  IndexEntry* findLocked(std::uint64_t hash);
  const IndexEntry* entryOfFileLocked(const FileStamp& stamp);
  bool heldByAnotherFileLocked(const Uuid& uuid, const FileStamp& stamp);
  void storeLocked(const IndexEntry& entry);
  void mergeInto(const std::vector<IndexEntry>& fileNow, Seen seen, const std::function<void(const IndexEntry&)>& emit);
  void releaseLocked();
  void markMetLocked(std::vector<std::uint64_t> hashes);

  std::string path_;
  std::mutex mutex_;
  JournalWriter journal_{path_};  // for a watcher's publish()
  bool loaded_ = false;  // read whole
  // Until then, the file searched where it lies, and what the searches found
  // (and did not), by path hash: a listing that needs a few entries of a
  // large index reads only those.
  std::optional<IndexFileSearch> search_;
  std::unordered_map<std::uint64_t, std::optional<IndexEntry>> searched_;
  bool changed_ = false;
  IndexFileVersion loadedVersion_;
  std::vector<IndexEntry> loadedEntries_;  // from the file, sorted by hash
  std::vector<bool> used_;                 // beside loadedEntries_
  std::unordered_map<std::uint64_t, IndexEntry> stored_;  // new or changed since the load
  std::unordered_set<std::uint64_t> forgotten_;
  // Built when first needed: the loaded entries by inode, and which file holds each identifier.
  std::unordered_multimap<std::uint64_t, const IndexEntry*> loadedByInode_;
  bool loadedByInodeBuilt_ = false;
  std::unordered_multimap<std::uint64_t, std::uint64_t> storedByInode_;  // inode -> path hash in stored_
  struct UuidHash {
    std::size_t operator()(const Uuid& uuid) const;
  };
  std::unordered_map<Uuid, FileStamp, UuidHash> holders_;  // identifier -> the file that has it
  bool holdersBuilt_ = false;
};

}  // namespace shotsieve::folder
