#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

namespace shotsieve::folder {

// When the watcher writes out what it learnt of identities: once it has
// learnt nothing more for a second, and at the latest half a minute after the
// first of it, so the write stays out of the way of a stream of screenshots.
class SaveSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  void learnt(Clock::time_point now) {
    if (!latest_) latest_ = now + std::chrono::seconds(30);
    at_ = std::min(now + std::chrono::seconds(1), *latest_);
  }

  std::optional<Clock::time_point> due() const { return at_; }

  // True once, when the save is due.
  bool takeDue(Clock::time_point now) {
    if (!at_ || now < *at_) return false;
    at_.reset();
    latest_.reset();
    return true;
  }

 private:
  std::optional<Clock::time_point> at_;
  std::optional<Clock::time_point> latest_;
};

}  // namespace shotsieve::folder
