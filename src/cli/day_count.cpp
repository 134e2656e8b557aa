#include "cli/day_count.h"

namespace shotsieve {

std::optional<std::int64_t> parseDayCount(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    // Built by subtraction for negative values so that the most negative one fits.
    if (__builtin_mul_overflow(value, 10, &value)) return std::nullopt;
    if (negative ? __builtin_sub_overflow(value, digit, &value) : __builtin_add_overflow(value, digit, &value)) {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace shotsieve
