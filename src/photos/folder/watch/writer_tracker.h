#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace shotsieve::folder {

// Files that are being written but were not closed (some desktop shells keep
// the stream open) or whose closes cannot be seen (a polled folder): each is
// checked again a little later, and taken for finished once it has stopped
// growing for a moment (and its data is whole, which the checker judges).
class WriterTracker {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kQuietPeriod = std::chrono::milliseconds(300);
  static constexpr auto kCheckEvery = std::chrono::milliseconds(100);
  // A file that has stopped changing and is still not whole is looked at ever
  // less often, up to this; any change to it starts over.
  static constexpr auto kCheckAtMost = std::chrono::seconds(5);
  static constexpr auto kGiveUpAfter = std::chrono::minutes(10);

  // The file changed (or may have): its quiet period starts again.
  void changed(const std::string& relativePath, Clock::time_point now);
  // Stops tracking a file (closed, gone), or every file below a folder.
  void forget(const std::string& relativePath);
  void forgetBelow(const std::string& relativeFolder);
  bool empty() const { return writers_.empty(); }
  bool tracks(const std::string& relativePath) const { return writers_.contains(relativePath); }
  Clock::time_point nextDue() const;

  // The files due for a check: quiet for the period, or due for a look at their size.
  struct Due {
    std::string relativePath;
    std::uint64_t lastSize;
    bool quiet;  // unchanged for the quiet period by what was last seen
  };
  std::vector<Due> due(Clock::time_point now);
  // What a check found: the size now, and whether the file was handed on as finished.
  void checked(const std::string& relativePath, std::uint64_t size, bool finished, Clock::time_point now);

 private:
  struct Writer {
    std::uint64_t size = 0;
    Clock::time_point lastChange;
    Clock::time_point firstSeen;
    Clock::time_point nextCheck;
    Clock::duration interval = kCheckEvery;
    bool checking = false;
  };
  std::map<std::string, Writer> writers_;
};

}  // namespace shotsieve::folder
