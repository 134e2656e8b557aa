#pragma once

#include <optional>
#include <string>
#include <vector>

namespace shotsieve {

// Runs `shotsieve watch` as the supervisor of confined workers: the process
// the reader started stays, reads no image, and starts its own program again
// as the worker that confines itself and watches, and again each time a
// worker hands over because the library moved out of its reach. The workers
// write to the same standard output. Returns the status to exit with (after
// the last worker's, or raises the signal that ended it), or nothing when no
// worker can be started this way: the watch then runs in this process.
std::optional<int> superviseWatch(const std::vector<std::string>& args);

}  // namespace shotsieve
