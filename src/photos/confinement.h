#pragma once

#include <functional>

namespace shotsieve {

// How the program confines its own process before it reads the library, set
// once by the program before its command runs. A host of the library sets
// nothing: its process is not ours to restrict, and every call below is then
// a no-op.
struct ProcessConfinement {
  // Confines the process for the rest of its life to reading the library and
  // what the runtime needs, and to writing the cache and `writableFolder` (an
  // open folder, or -1). True when the process is confined from here on.
  std::function<bool(int writableFolder)> confine;
};
void setProcessConfinement(ProcessConfinement confinement);

// Called by a command that reads the library, once it knows what it writes
// and before it opens the first image. Returns whether the process is confined.
bool confineBeforeReading(int writableFolder = -1);
bool processIsConfined();

// A confined watch cannot follow the library to where its confinement does not
// reach. The watch command sets how it hands over to a freshly confined
// process; the watcher calls handWatchOver() when the library has moved, and
// it does not return. Without a hand-over set, it returns and the watcher
// follows the library itself.
void setWatchHandOver(std::function<void()> handOver);
void handWatchOver();

}  // namespace shotsieve
