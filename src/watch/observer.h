#pragma once

#include "photos/photo_library.h"
#include "watch/watch_handover.h"

namespace shotsieve {

// Writes one "screenshot-added" line for every screenshot that a change
// inserts relative to the baseline taken when watching began (and, for a
// worker that took over a watch, that the reader was not told of before).
class Observer final : public PhotoLibraryChangeObserver {
 public:
  explicit Observer(FetchResult baseline, WatchHandOver* handOver = nullptr)
      : baseline_(std::move(baseline)), handOver_(handOver) {}

  const FetchResult& baseline() const { return baseline_; }
  void photoLibraryDidChange(const Change& change) override;
  // For a worker that took over: the screenshots of its baseline that the
  // reader does not know of (new in the library it moved to), oldest first.
  void reportBaselineNews();

 private:
  void report(const Asset& asset);

  const FetchResult baseline_;  // never replaced: every change is compared with it
  WatchHandOver* const handOver_;
};

}  // namespace shotsieve
