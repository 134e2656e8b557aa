#pragma once

#include <string>

namespace shotsieve {

// An instant (seconds since 1970-01-01T00:00:00Z) as YYYY-MM-DDTHH:MM:SSZ in
// UTC, cut down to the whole second (towards the past, also before 1970).
std::string iso8601(double secondsSinceEpoch);

}  // namespace shotsieve
