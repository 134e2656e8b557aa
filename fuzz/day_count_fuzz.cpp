// The day-count parser against a reference written another way: 128-bit
// arithmetic over the whole text.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "cli/day_count.h"

namespace {

std::optional<std::int64_t> reference(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  __int128 value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > (static_cast<__int128>(1) << 64)) return std::nullopt;  // far out of range already
  }
  if (negative) value = -value;
  if (value < INT64_MIN || value > INT64_MAX) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (shotsieve::parseDayCount(text) != reference(text)) std::abort();
  return 0;
}
