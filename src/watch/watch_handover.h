#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "photos/photo_library.h"
#include "photos/unique_fd.h"

namespace shotsieve {

// A watch whose process is confined runs as a worker of a supervisor (the
// process the reader started). When the library moves where the worker's
// confinement does not reach, the worker writes what the reader already knows
// into a file the supervisor handed it, and ends with kExitHandOver; the
// supervisor starts a fresh worker on the same file, which confines itself
// around the library as it is now and goes on from there: no second start
// line, and each screenshot reported once.
inline constexpr const char* kWatchWorkerVariable = "SHOTSIEVE_WATCH_WORKER";  // the file's descriptor
inline constexpr int kExitHandOver = 86;

class WatchHandOver {
 public:
  // The hand-over of this process when it is a watch worker, else nothing.
  static std::unique_ptr<WatchHandOver> ofThisProcess();

  // An earlier worker wrote the start line: this one writes none.
  bool resumed() const { return resumed_; }
  // Whether the reader was told of a screenshot by an earlier worker.
  bool toldBefore(std::string_view localIdentifier) const;

  // The start line (or the first lines of a resumed worker) under the lock
  // that hand-over takes: what is written is what the next worker is told.
  // The baseline is kept by the caller for as long as the process lives.
  template <typename Write>
  void start(const FetchResult& baseline, Write write) {
    std::lock_guard lock(mutex_);
    write();
    baseline_ = &baseline;
  }
  // A screenshot about to be reported: false when the reader knows of it already.
  bool reported(std::string_view localIdentifier);

  // Writes what the reader knows for the next worker and ends the process.
  [[noreturn]] void handOver();

  // Identifiers are kept as 128-bit hashes: 16 bytes per screenshot reported
  // over the weeks a watch runs, and the same in the file.
  using Key = std::pair<std::uint64_t, std::uint64_t>;

 private:
  explicit WatchHandOver(UniqueFd file) : file_(std::move(file)) {}
  bool knownLocked(const Key& key) const;

  UniqueFd file_;
  std::mutex mutex_;
  bool resumed_ = false;
  const FetchResult* baseline_ = nullptr;  // set once the reader has the start line
  std::vector<Key> carried_;               // from earlier workers, sorted
  std::vector<Key> reported_;              // sorted, with the latest few at the end unsorted
  std::size_t reportedSorted_ = 0;
};

}  // namespace shotsieve
