#pragma once

#include "photos/photo_library.h"

namespace shotsieve {

// Writes one "screenshot-added" line for every screenshot that a change
// inserts relative to the baseline taken when watching began.
class Observer final : public PhotoLibraryChangeObserver {
 public:
  explicit Observer(FetchResult baseline) : baseline_(std::move(baseline)) {}

  const FetchResult& baseline() const { return baseline_; }
  void photoLibraryDidChange(const Change& change) override;

 private:
  const FetchResult baseline_;  // never replaced: every change is compared with it
};

}  // namespace shotsieve
