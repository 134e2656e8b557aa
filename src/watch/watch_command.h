#pragma once

#include <memory>

#include "photos/photo_library.h"
#include "watch/observer.h"

namespace shotsieve {

// Checks the authorization, confines the process where the program asks for
// it, registers with the library, takes the baseline of all screenshots and
// writes the start line (flushed at once); the observer made with the
// baseline then gets the changes, those since the registration first. A
// worker that takes over a watch writes, instead of the start line, what is
// new to the reader in its baseline. Without authorization it writes the
// not-authorized result and returns no observer; with a baseline that lost
// screenshots (out of memory), it says so on standard error, writes nothing
// and returns no observer with kExitInternalFailure.
struct WatchBegun {
  std::shared_ptr<Observer> observer;
  int status = 0;  // the exit status when there is no observer
};
[[nodiscard]] WatchBegun beginWatch(PhotoLibrary& library, WatchHandOver* handOver = nullptr);

// beginWatch, then parks the thread for as long as the process lives; returns
// only when it could not begin, with its status.
int cmdWatch(PhotoLibrary& library);

}  // namespace shotsieve
