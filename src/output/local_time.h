#pragma once

#include <ctime>

namespace shotsieve {

// The C library's local-time conversions, taken one at a time: they share the
// time-zone state, which glibc guards with a lock of its own that a thread
// checker cannot see. Results are as mktime and localtime_r give them.
std::time_t localTimeToInstant(std::tm local);
std::tm instantToLocalTime(std::time_t instant);

}  // namespace shotsieve
