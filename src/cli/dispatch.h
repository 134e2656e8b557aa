#pragma once

#include <string>
#include <vector>

#include "photos/photo_library.h"

namespace shotsieve {

inline constexpr int kExitUsage = 64;

// Runs the command named by args[1] against the library and returns the exit
// status: the handler's, or 64 after a usage message on standard error. The
// arguments are the bytes the process was given; a message shows them as
// UTF-8, each ill-formed sequence replaced by U+FFFD.
int runCommandLine(const std::vector<std::string>& args, PhotoLibrary& library);

}  // namespace shotsieve
