#pragma once

#include <algorithm>
#include <chrono>

namespace shotsieve::folder {

// A wait that doubles each time nothing came of it, up to a bound, and starts
// short again once something did.
class Backoff {
 public:
  using Duration = std::chrono::milliseconds;
  Backoff(Duration first, Duration longest) : first_(first), longest_(longest), current_(first) {}

  Duration current() const { return current_; }
  void lengthen() { current_ = std::min(current_ * 2, longest_); }
  void reset() { current_ = first_; }

 private:
  Duration first_;
  Duration longest_;
  Duration current_;
};

}  // namespace shotsieve::folder
