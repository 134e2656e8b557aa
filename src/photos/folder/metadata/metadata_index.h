#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

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
// files reads no image data. Kept in one file; a damaged or foreign file is
// dropped and rebuilt without a word. Paths are kept as 64-bit hashes: with
// the size, modification and change times and inode also having to match, a collision
// cannot serve wrong facts in practice, and 100,000 files take a few MiB.
// Safe to use from several threads.
class MetadataIndex {
 public:
  // An empty path keeps the index in memory only.
  explicit MetadataIndex(std::string path);

  std::optional<ImageFacts> find(const std::string& relativePath, const FileStamp& stamp);
  void store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts);
  // Writes the entries used since the last save, when anything changed, and
  // lets go of them in memory (they are read again when next needed). Entries
  // of files that no longer exist are dropped that way.
  void save();

 private:
  struct Entry {
    FileStamp stamp;
    ImageFacts facts;
    bool used = false;
  };
  void loadLocked();

  std::string path_;
  std::mutex mutex_;
  bool loaded_ = false;
  bool changed_ = false;
  std::unordered_map<std::uint64_t, Entry> entries_;  // by hash of the relative path
};

}  // namespace shotsieve::folder
