#pragma once

namespace shotsieve {

// How a watch ends once its output is done for. A reader that has gone (a
// closed pipe, a hung-up terminal, a closed socket) ends it as a write into
// the closed pipe would: by SIGPIPE, or with status 0 where SIGPIPE is
// ignored. Any other failure to write is reported on standard error and ends
// it with kExitOutputFailed.
[[noreturn]] void endWatchForOutputFailure(int error);
[[noreturn]] void endWatchForGoneReader();

// Sleeps until the reader of standard output has gone, then ends the watch.
// Nothing to write needs to come first: a watch whose reader left while no
// screenshot arrived would otherwise run on for nobody. Output that no
// reader can leave (a file, /dev/null) is waited on for ever.
[[noreturn]] void watchUntilReaderGoes();

}  // namespace shotsieve
