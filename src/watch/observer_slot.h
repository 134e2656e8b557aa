#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "photos/photo_library.h"
#include "watch/observer.h"

namespace shotsieve {

// Registered with the library before the baseline is taken, so that the
// library watches from before it: nothing added meanwhile falls between the
// baseline and the watch. Changes that come before the Observer exists are
// held, and handed to it in order once it does; the Observer compares each
// with its baseline, so what the baseline counts is not reported again.
class ObserverSlot final : public PhotoLibraryChangeObserver {
 public:
  void photoLibraryDidChange(const Change& change) override;
  // From now on, changes go to the observer: first those held.
  void attach(std::shared_ptr<Observer> observer);

 private:
  std::mutex mutex_;
  std::shared_ptr<Observer> observer_;
  std::vector<Change> held_;
};

}  // namespace shotsieve
