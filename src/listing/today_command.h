#pragma once

#include <string>

#include "photos/photo_library.h"

namespace shotsieve {

// {"count":N,"items":[records]} for the screenshots created since local
// midnight, newest first, or the not-authorized result.
std::string listTodayJSON(PhotoLibrary& library);

// Prints listTodayJSON and a newline; returns 2 when not authorized, else 0.
int cmdListToday(PhotoLibrary& library);

}  // namespace shotsieve
