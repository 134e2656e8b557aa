#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/watch/known_files.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// Looks at files that may be complete and turns them into assets, on a few
// threads of its own: reading a file's facts and judging whether its data is
// whole take a bounded number of reads, and a file on a slow mount or a
// hostile one never holds up the others. Whether an asset is new is for the
// caller to decide, by the file's key.
class FileInserter {
 public:
  struct Candidate {
    // A file that was closed, moved in, or found.
    explicit Candidate(std::string path) : relativePath(std::move(path)) {}
    // A writer's check.
    Candidate(std::string path, std::uint64_t size, bool quietSince)
        : relativePath(std::move(path)), lastSize(size), quiet(quietSince) {}
    std::string relativePath;
    // For a writer that did not close: the size last seen, and whether it has
    // not changed for the quiet period since. Nothing for a file that was closed.
    std::optional<std::uint64_t> lastSize;
    bool quiet = false;
  };
  struct Outcome {
    explicit Outcome(std::string path = {}) : relativePath(std::move(path)) {}
    enum class Kind {
      asset,       // complete: `asset` and `key` are set
      notYet,      // still being written, or not whole yet: `size` is what it has now
      noAsset,     // gone, a folder, or not what its name says
    };
    std::string relativePath;
    Kind kind = Kind::noAsset;
    bool check = false;  // the candidate was a writer's check
    std::optional<Asset> asset;
    FileKey key;
    std::uint64_t size = 0;
  };

  explicit FileInserter(MetadataIndex& index);
  ~FileInserter();  // stops the threads; one stuck on a dead mount is let go
  FileInserter(const FileInserter&) = delete;
  FileInserter& operator=(const FileInserter&) = delete;

  // The library root from now on, resolved (empty while there is none);
  // candidates of an earlier root are dropped. It is opened for each look,
  // never held: a disk being watched can still be unmounted.
  void attach(std::string resolvedRoot);
  void offer(Candidate candidate);
  // Looks at a candidate on the caller's thread, its outcome kept for
  // take(), when no look is queued or under way; false otherwise (offer it
  // then). Only for a file on a local disk: a look on a dead mount would
  // hold the caller.
  bool lookHere(const Candidate& candidate);
  // An eventfd, readable once outcomes wait: the caller that polls it reads
  // it before take(), which leaves it as it is.
  int descriptor() const;
  std::vector<Outcome> take();

  static constexpr unsigned kThreads = 2;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace shotsieve::folder
