#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "photos/folder/metadata/image_metadata.h"

namespace shotsieve::folder {

// What identifies one version of a file on disk. The change time is there
// because nobody can set it: a file rewritten in place with its size and
// modification time put back is still noticed.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::uint64_t inode = 0;
  std::int64_t changedNanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

// Image facts remembered per relative path, so that a listing over unchanged
// files reads no image data. Kept in one file, sorted by path hash: loading is
// one read into one table, searched by bisection, with no allocation per
// entry. A damaged or foreign file is dropped and rebuilt without a word.
// Paths are kept as 64-bit hashes: with the size, modification and change
// times and inode also having to match, a collision cannot serve wrong facts
// in practice, and 100,000 files take a few MiB. Safe to use from several
// threads.
class MetadataIndex {
 public:
  // An empty path keeps the index in memory only.
  explicit MetadataIndex(std::string path);

  std::optional<ImageFacts> find(const std::string& relativePath, const FileStamp& stamp);
  void store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts);
  // Keeps the entry of a file that still exists but was not read this time
  // (a dated fetch passes over old files), so that the next save keeps it.
  void keep(const std::string& relativePath);
  // Writes the entries used or kept since the last save, when anything
  // changed, and lets go of them in memory (they are read again when next
  // needed). Entries of files that no longer exist are dropped that way.
  void save();

  // The hash under which a path is kept.
  static std::uint64_t pathHash(std::string_view relativePath);

 private:
  // 64 bytes: a loaded index of 300,000 files stays under 20 MiB.
  struct Entry {
    std::uint64_t pathHash = 0;
    FileStamp stamp;
    std::int32_t width = 0, height = 0;  // image sizes are below 2^31 in every format read
    double capture = 0;
    std::uint8_t flags = 0;
    FileFormat format = FileFormat::unknown;
    ImageFacts facts() const;
    static Entry of(std::uint64_t hash, const FileStamp& stamp, const ImageFacts& facts);
  };
  void loadLocked();
  Entry* findLocked(std::uint64_t hash);

  std::string path_;
  std::mutex mutex_;
  bool loaded_ = false;
  bool changed_ = false;
  std::vector<Entry> loadedEntries_;  // from the file, sorted by hash
  std::vector<bool> used_;            // beside loadedEntries_
  std::unordered_map<std::uint64_t, Entry> stored_;  // new or changed since the load
};

}  // namespace shotsieve::folder
