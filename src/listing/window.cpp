#include "listing/window.h"

#include <limits>

namespace shotsieve {

namespace {

constexpr double kEarliest = std::numeric_limits<double>::lowest();
constexpr double kLatest = std::numeric_limits<double>::max();
// Years the calendar is asked about; far beyond any photo, well inside time_t.
constexpr std::int64_t kYearLimit = 1000000;

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month, day;
};

CivilDate civilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

}  // namespace

double windowStart(std::int64_t days, std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  const std::int64_t today = daysFromCivil(local.tm_year + 1900LL, static_cast<unsigned>(local.tm_mon + 1),
                                           static_cast<unsigned>(local.tm_mday));
  std::int64_t offset = 0, target = 0;
  if (__builtin_sub_overflow(std::int64_t{1}, days, &offset)) return kLatest;
  if (__builtin_add_overflow(today, offset, &target)) return offset > 0 ? kLatest : kEarliest;
  // Keep civilFromDays' arithmetic well inside 64 bits.
  constexpr std::int64_t kDayLimit = kYearLimit * 366;
  if (target < -kDayLimit) return kEarliest;
  if (target > kDayLimit) return kLatest;
  const CivilDate date = civilFromDays(target);
  if (date.year < -kYearLimit) return kEarliest;
  if (date.year > kYearLimit) return kLatest;
  std::tm midnight{};
  midnight.tm_year = static_cast<int>(date.year - 1900);
  midnight.tm_mon = static_cast<int>(date.month) - 1;
  midnight.tm_mday = static_cast<int>(date.day);
  midnight.tm_isdst = -1;
  return static_cast<double>(std::mktime(&midnight));
}

}  // namespace shotsieve
