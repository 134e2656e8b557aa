#pragma once

#include <string>

#include "output/answer.h"

#include "photos/photo_library.h"

namespace shotsieve {

// {"count":N,"items":[records]} for the screenshots created since local
// midnight, newest first, or the not-authorized result; or why no answer
// could be made. Never throws.
Answer listTodayJSON(PhotoLibrary& library);

// Prints listTodayJSON and a newline; returns 2 when not authorized, 70 after
// a line on standard error when no answer could be made, else 0.
int cmdListToday(PhotoLibrary& library);

}  // namespace shotsieve
