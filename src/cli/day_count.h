#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace shotsieve {

// A decimal day count: optional single sign, then ASCII digits only, within
// the signed 64-bit range; nothing when the text is anything else.
std::optional<std::int64_t> parseDayCount(std::string_view text);

}  // namespace shotsieve
