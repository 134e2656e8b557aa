#include "photos/folder/metadata/date_text.h"

#include "output/local_time.h"

#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace shotsieve::folder {

namespace {

struct Cursor {
  std::string_view text;
  std::size_t at = 0;

  bool done() const { return at >= text.size(); }
  char peek() const { return done() ? '\0' : text[at]; }
  bool take(char c) {
    if (peek() != c) return false;
    ++at;
    return true;
  }
  // Exactly `count` digits.
  std::optional<int> digits(std::size_t count) {
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = text[at + i];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    at += count;
    return value;
  }
  void skipSpaces() {
    while (!done() && (text[at] == ' ' || text[at] == '\t')) ++at;
  }
};

struct Fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  double fraction = 0;
  std::optional<int> offsetSeconds;
};

// "Z", "GMT", "UTC", "+01:00", "+0100", "+01"; nothing when absent or unreadable.
std::optional<int> readOffset(Cursor& c) {
  c.skipSpaces();
  if (c.take('Z') || c.take('z')) return 0;
  const std::string_view rest = c.text.substr(c.at);
  if (rest.substr(0, 3) == "GMT" || rest.substr(0, 3) == "UTC") return 0;
  const char sign = c.peek();
  if (sign != '+' && sign != '-') return std::nullopt;
  ++c.at;
  const auto hours = c.digits(2);
  if (!hours) return std::nullopt;
  c.take(':');
  const auto minutes = c.digits(2).value_or(0);
  if (*hours > 23 || minutes > 59) return std::nullopt;
  const int seconds = *hours * 3600 + minutes * 60;
  return sign == '-' ? -seconds : seconds;
}

bool readTime(Cursor& c, Fields& f) {
  const auto hour = c.digits(2);
  if (!hour || !c.take(':')) return false;
  const auto minute = c.digits(2);
  if (!minute) return false;
  f.hour = *hour, f.minute = *minute;
  if (c.take(':')) {
    const auto second = c.digits(2);
    if (!second) return false;
    f.second = *second;
    if (c.take('.') || c.take(',')) {
      double scale = 0.1;
      while (std::isdigit(static_cast<unsigned char>(c.peek()))) {
        f.fraction += (c.text[c.at++] - '0') * scale;
        scale /= 10;
      }
    }
  }
  return true;
}

std::optional<Fields> readNumericDate(std::string_view text) {
  Cursor c{text};
  Fields f;
  const auto year = c.digits(4);
  const char separator = c.peek();
  if (!year || (separator != ':' && separator != '-') || !c.take(separator)) return std::nullopt;
  const auto month = c.digits(2);
  if (!month || !c.take(separator)) return std::nullopt;
  const auto day = c.digits(2);
  if (!day) return std::nullopt;
  f.year = *year, f.month = *month, f.day = *day;
  if (c.take('T') || c.take(' ')) {
    if (!readTime(c, f)) return std::nullopt;
    f.offsetSeconds = readOffset(c);
  }
  return f;
}

std::optional<Fields> readRfc1123Date(std::string_view text) {
  static constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  Cursor c{text};
  while (std::isalpha(static_cast<unsigned char>(c.peek()))) ++c.at;  // weekday
  c.take(',');
  c.skipSpaces();
  Fields f;
  auto day = c.digits(2);
  if (!day) day = c.digits(1);
  if (!day) return std::nullopt;
  c.skipSpaces();
  const std::string_view monthName = c.text.substr(c.at, 3);
  f.month = 0;
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (monthName == kMonths[i]) f.month = static_cast<int>(i) + 1;
  }
  if (f.month == 0) return std::nullopt;
  c.at += 3;
  c.skipSpaces();
  const auto year = c.digits(4);
  if (!year) return std::nullopt;
  c.skipSpaces();
  f.year = *year, f.day = *day;
  if (!readTime(c, f)) return std::nullopt;
  f.offsetSeconds = readOffset(c);
  return f;
}

}  // namespace

std::optional<double> parseDateText(std::string_view text, std::string_view offsetText) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  auto fields = readNumericDate(text);
  if (!fields) fields = readRfc1123Date(text);
  if (!fields) return std::nullopt;
  Fields& f = *fields;
  // Exif writes "0000:00:00 00:00:00" for an unknown date.
  if (f.year < 1 || f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31 || f.hour > 24 || f.minute > 59 ||
      f.second > 60) {
    return std::nullopt;
  }
  if (!f.offsetSeconds && !offsetText.empty()) {
    Cursor c{offsetText};
    f.offsetSeconds = readOffset(c);
  }
  if (f.offsetSeconds) {
    using namespace std::chrono;
    const year_month_day date{year{f.year}, month{static_cast<unsigned>(f.month)}, day{static_cast<unsigned>(f.day)}};
    if (!date.ok()) return std::nullopt;
    const std::int64_t days = sys_days{date}.time_since_epoch().count();
    const std::int64_t seconds = days * 86400 + f.hour * 3600 + f.minute * 60 + f.second - *f.offsetSeconds;
    return static_cast<double>(seconds) + f.fraction;
  }
  std::tm local{};
  local.tm_year = f.year - 1900, local.tm_mon = f.month - 1, local.tm_mday = f.day;
  local.tm_hour = f.hour, local.tm_min = f.minute, local.tm_sec = f.second;
  local.tm_isdst = -1;
  const std::time_t instant = localTimeToInstant(local);
  if (instant == static_cast<std::time_t>(-1) && !(f.year == 1969 || f.year == 1970)) return std::nullopt;
  return static_cast<double>(instant) + f.fraction;
}

}  // namespace shotsieve::folder
