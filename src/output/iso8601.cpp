#include "output/iso8601.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace shotsieve {

std::string iso8601(double secondsSinceEpoch) {
  // Four-digit years only: instants outside 0000-01-01 to 9999-12-31 do not
  // occur in a photo library, so they are clamped rather than mangled.
  constexpr double earliest = -62167219200.0, latest = 253402300799.0;
  double whole = std::floor(secondsSinceEpoch);
  if (std::isnan(whole)) whole = 0;
  if (whole > latest) whole = latest;
  if (whole < earliest) whole = earliest;
  const auto seconds = static_cast<std::int64_t>(whole);
  using namespace std::chrono;
  const sys_seconds instant{std::chrono::seconds{seconds}};
  const auto day = floor<days>(instant);
  const year_month_day date{day};
  const hh_mm_ss time{instant - day};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buffer;
}

}  // namespace shotsieve
