#pragma once

#include <cstdint>
#include <ctime>

namespace shotsieve {

// The start of a window of `days` calendar days ending today, in the user's
// calendar and time zone: local midnight (1 - days) days from today. A start
// before the earliest instant the calendar can give is clamped to the lowest
// value (everything is inside); one beyond the latest gives the highest value
// (nothing is inside).
double windowStart(std::int64_t days, std::time_t now);

}  // namespace shotsieve
