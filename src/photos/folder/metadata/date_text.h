#pragma once

#include <optional>
#include <string_view>

namespace shotsieve::folder {

// Parses a capture date as image metadata writes it: Exif "2024:03:05 14:07:09",
// ISO 8601 "2024-03-05T14:07:09+01:00" (with T or a space, fraction, Z or
// offset), or RFC 1123 "Tue, 05 Mar 2024 14:07:09 GMT". A separate offset text
// ("+01:00", as Exif keeps it) applies when the date has none; without any
// offset the time is local. Returns seconds since the epoch.
std::optional<double> parseDateText(std::string_view text, std::string_view offsetText = {});

}  // namespace shotsieve::folder
