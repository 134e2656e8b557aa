#pragma once

#include <functional>
#include <mutex>

#include "photos/photo_library.h"
#include "watch/watch_handover.h"

namespace shotsieve {

// Writes one "screenshot-added" line for every screenshot that a change
// inserts relative to the baseline taken when watching began (and, for a
// worker that took over a watch, that the reader was not told of before).
class Observer final : public PhotoLibraryChangeObserver {
 public:
  // `currentStatus`, when given, is asked before each line: a watch whose
  // access was withdrawn ends instead of reporting.
  explicit Observer(FetchResult baseline, WatchHandOver* handOver = nullptr, std::function<int()> currentStatus = {})
      : baseline_(std::move(baseline)), handOver_(handOver), currentStatus_(std::move(currentStatus)) {}

  const FetchResult& baseline() const { return baseline_; }
  void photoLibraryDidChange(const Change& change) override;
  // For a worker that took over: the screenshots of its baseline that the
  // reader does not know of (new in the library it moved to), oldest first.
  void reportBaselineNews();

 private:
  void report(const Asset& asset);

  const FetchResult baseline_;  // never replaced: every change is compared with it
  // Its identifiers, gathered at the first change: the start line does not
  // wait for them, and no line after costs a pass over the baseline.
  std::once_flag identified_;
  AssetIdentifiers identifiers_;
  WatchHandOver* const handOver_;
  const std::function<int()> currentStatus_;
  // A pipe or terminal refuses a sync for good: it is asked once.
  bool outputSyncs_ = true;  // under the watch line's lock
};

}  // namespace shotsieve
