#include "listing/window.h"

#include <chrono>
#include <limits>

#include "output/local_time.h"

namespace shotsieve {

namespace {

constexpr double kEarliest = std::numeric_limits<double>::lowest();
constexpr double kLatest = std::numeric_limits<double>::max();
// Days from today the calendar is asked about: far beyond any photo, well
// inside the calendar types' range of years.
constexpr std::int64_t kDayLimit = 10000LL * 366;

}  // namespace

double windowStart(std::int64_t days, std::time_t now) {
  const std::tm local = instantToLocalTime(now);
  using namespace std::chrono;
  const sys_days today{year_month_day{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                                      day{static_cast<unsigned>(local.tm_mday)}}};
  std::int64_t offset = 0;
  if (__builtin_sub_overflow(std::int64_t{1}, days, &offset)) return kLatest;
  if (offset < -kDayLimit) return kEarliest;
  if (offset > kDayLimit) return kLatest;
  const year_month_day date{today + std::chrono::days{offset}};
  std::tm midnight{};
  midnight.tm_year = static_cast<int>(date.year()) - 1900;
  midnight.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  midnight.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  midnight.tm_isdst = -1;
  return static_cast<double>(localTimeToInstant(midnight));
}

}  // namespace shotsieve
