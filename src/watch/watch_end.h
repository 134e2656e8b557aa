#pragma once

#include <functional>
#include <mutex>

namespace shotsieve {

// How a watch ends once its output is done for. A reader that has gone (a
// closed pipe, a hung-up terminal, a closed socket) ends it as a write into
// the closed pipe would: by SIGPIPE, or with status 0 where SIGPIPE is
// ignored. Any other failure to write is reported on standard error and ends
// it with kExitOutputFailed.
[[noreturn]] void endWatchForOutputFailure(int error);
[[noreturn]] void endWatchForGoneReader();

// Ends the watch when access is withdrawn, as it would end at its start: the
// not-authorized result as its last line, and status 2. No line is written
// after it: lines are written under the same lock (watchLineLock).
[[noreturn]] void endWatchNotAuthorized(int status);
std::mutex& watchLineLock();

// Sleeps until the reader of standard output has gone, then ends the watch.
// Nothing to write needs to come first: a watch whose reader left while no
// screenshot arrived would otherwise run on for nobody. Output that no
// reader can leave (a file, /dev/null) is waited on for ever. Every few
// seconds it also asks `currentStatus` whether access still holds.
[[noreturn]] void watchUntilReaderGoes(const std::function<int()>& currentStatus);

}  // namespace shotsieve
