#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "photos/folder/metadata/image_metadata.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// What identifies one version of a file on disk. The change time is there
// because nobody can set it: a file rewritten in place with its size and
// modification time put back is still noticed.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::uint64_t inode = 0;
  std::int64_t changedNanoseconds = 0;
  std::int64_t birthNanoseconds = 0;  // 0 where the file system keeps no birth time
  // The inode is a digest of the file's content, where inode numbers do not
  // last: the file is the same file while that stays the same.
  bool fingerprinted = false;
  bool operator==(const FileStamp&) const = default;
};

using Uuid = std::array<std::uint8_t, 16>;

// One file's entry: the version it was read at, what was read, and the
// identifier it was given when it was first seen.
struct IndexEntry {
  std::uint64_t pathHash = 0;
  FileStamp stamp;
  std::int32_t width = 0, height = 0;  // image sizes are below 2^31 in every format read
  double capture = 0;
  Uuid uuid{};
  std::uint8_t flags = 0;
  FileFormat format = FileFormat::unknown;
  // Of a fingerprinted file: its time when first seen, the date it keeps
  // where a rename restamps it (FAT drivers do).
  std::int64_t fileTime = 0;

  enum Flags : std::uint8_t {
    kHeaderRead = 1, kHasCapture = 2, kFavorite = 4, kMarked = 8, kHasUuid = 16, kNoFacts = 32, kMarksOnly = 64,
    kMarksUnread = 128
  };
  ImageFacts facts() const;
  static IndexEntry of(std::uint64_t hash, const FileStamp& stamp, const ImageFacts& facts);
  bool hasUuid() const { return flags & kHasUuid; }
};

// Which file on disk an index file was when it was read, to tell whether
// another process has replaced it since.
struct IndexFileVersion {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modifiedNanoseconds = 0;
  bool operator==(const IndexFileVersion&) const = default;
};

struct IndexFileContents {
  std::vector<IndexEntry> entries;  // sorted by path hash
  IndexFileVersion version;
  bool mended = false;  // entries were left out, or the file is of the old form: to be written back whole
};

// The entries of an index file, read in pieces so that the file's bytes are
// never held beside the table they become. Nothing for a missing file; no
// entries for a torn or foreign one. Entries that do not hold up (damaged,
// of a format this build does not know, with values no file can give) are
// left out, so those files are read again.
std::optional<IndexFileContents> readIndexFile(const std::string& path);

// An index file searched where it lies, a few reads per entry, for a process
// that needs a few entries of a large index: it is never read whole.
class IndexFileSearch {
 public:
  // Nothing for a missing file, and for one that only a whole read can use
  // or mend (of the old form, torn, foreign).
  static std::optional<IndexFileSearch> open(const std::string& path);

  std::size_t entries() const { return entries_; }
  const IndexFileVersion& version() const { return version_; }
  // The entry under the hash, if the file holds one that holds up; `damaged`
  // is set when the one it holds does not.
  std::optional<IndexEntry> find(std::uint64_t hash, bool& damaged) const;
  // The whole of the same file, as readIndexFile reads it.
  IndexFileContents readWhole() const;

 private:
  IndexFileSearch(UniqueFd fd, std::size_t entries, IndexFileVersion version)
      : fd_(std::move(fd)), entries_(entries), version_(version) {}
  std::uint64_t hashAt(std::size_t entry, bool& ok) const;

  UniqueFd fd_;
  std::size_t entries_;
  IndexFileVersion version_;
};

// The version of the index file as it is now; nothing when there is none.
std::optional<IndexFileVersion> indexFileVersion(const std::string& path);

// Writes entries (in path-hash order) to a new index file that replaces the
// old one at once, or leaves the old one as it was.
class IndexFileWriter {
 public:
  explicit IndexFileWriter(std::string path);
  ~IndexFileWriter();  // removes an unfinished file
  IndexFileWriter(const IndexFileWriter&) = delete;
  IndexFileWriter& operator=(const IndexFileWriter&) = delete;

  void add(const IndexEntry& entry);
  bool commit();  // false when the new file could not be put in place

 private:
  void flush();

  std::string path_;
  std::string temporary_;
  UniqueFd fd_;
  std::string buffer_;
  bool failed_ = false;
};

// Holds the index's lock file for as long as it lives, so that two processes
// merging their entries into the file take turns. A lock that cannot be had
// (no cache folder) is not waited for.
// The file whose lock every process takes to read or write the index and its journal.
inline std::string indexLockPathOf(const std::string& indexPath) { return indexPath + ".lock"; }

class IndexFileLock {
 public:
  explicit IndexFileLock(const std::string& indexPath);

 private:
  UniqueFd fd_;
};

// The first of entries sorted by path hash whose hash is not below `hash`.
std::vector<IndexEntry>::const_iterator entryAtOrAfter(const std::vector<IndexEntry>& entries, std::uint64_t hash);

}  // namespace shotsieve::folder
