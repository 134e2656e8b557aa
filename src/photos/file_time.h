#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <ctime>

namespace shotsieve {

// A file's time in nanoseconds since the epoch. File systems keep times
// beyond what 64 bits of nanoseconds hold (ext4 up to the year 2446, others
// further): a time after 2255 is taken as then, and one before 1843 as then,
// rather than wrapped round by centuries; the room left keeps the margins
// added to file times, and the time since one, within 64 bits.
inline constexpr std::int64_t kEarliestFileSeconds = -4'000'000'000;
inline constexpr std::int64_t kLatestFileSeconds = 9'000'000'000;

inline std::int64_t fileNanoseconds(std::int64_t seconds, std::int64_t nanoseconds) {
  return std::clamp(seconds, kEarliestFileSeconds, kLatestFileSeconds) * 1'000'000'000 + nanoseconds;
}
inline std::int64_t fileNanoseconds(const statx_timestamp& time) { return fileNanoseconds(time.tv_sec, time.tv_nsec); }
inline std::int64_t fileNanoseconds(const timespec& time) { return fileNanoseconds(time.tv_sec, time.tv_nsec); }

}  // namespace shotsieve
