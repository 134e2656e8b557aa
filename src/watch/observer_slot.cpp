#include "watch/observer_slot.h"

namespace shotsieve {

void ObserverSlot::photoLibraryDidChange(const Change& change) {
  std::unique_lock lock(mutex_);
  if (!observer_) {
    held_.push_back(change);
    return;
  }
  const auto observer = observer_;
  lock.unlock();
  observer->photoLibraryDidChange(change);
}

void ObserverSlot::attach(std::shared_ptr<Observer> observer) {
  // Held under the lock, so a change that comes meanwhile waits its turn.
  std::lock_guard lock(mutex_);
  for (const auto& change : held_) observer->photoLibraryDidChange(change);
  std::vector<Change>().swap(held_);
  observer_ = std::move(observer);
}

}  // namespace shotsieve
