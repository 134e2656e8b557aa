#pragma once

#include <cstdint>
#include <string>

#include "photos/photo_library.h"

namespace shotsieve {

inline constexpr int kExitNotAuthorized = 2;

// Prints listJSON (no budget, network allowed) and a newline; returns 2 for
// the not-authorized answer, else 0.
int cmdList(PhotoLibrary& library, std::int64_t days, const std::string& exportDir);

}  // namespace shotsieve
