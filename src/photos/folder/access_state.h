#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace shotsieve::folder {

// A status value outside the table, reported as "unknown".
inline constexpr int kUnreadableAccessState = -1;

// The recorded grant: 0 when there is no file, the value of a status word or
// a number as it stands, kUnreadableAccessState for anything else.
int readAccessState(const std::string& path);

// The recorded grant as readAccessState gives it, for a caller that asks
// again and again (a watch asks before every line): the file is read again
// only when its status shows a change, or when the last change was too
// recent for its times to tell a later one. Safe to share between threads.
class AccessStateLook {
 public:
  explicit AccessStateLook(std::string path) : path_(std::move(path)) {}
  int current();

 private:
  struct Seen {
    std::uint64_t device, inode, size;
    std::int64_t modified, changed;  // nanoseconds
    bool operator==(const Seen&) const = default;
  };
  const std::string path_;
  std::mutex mutex_;
  std::optional<Seen> seen_;  // when trusted
  int status_ = 0;
};

// Records a status word; false when it could not be written.
bool writeAccessState(const std::string& path, int status);

}  // namespace shotsieve::folder
