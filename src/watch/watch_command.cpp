#include "watch/watch_command.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "listing/list_command.h"
#include "output/answer.h"
#include "output/print.h"
#include "photos/authorization.h"
#include "photos/confinement.h"
#include "watch/observer_slot.h"
#include "watch/watch_end.h"

namespace shotsieve {

WatchBegun beginWatch(PhotoLibrary& library, WatchHandOver* handOver) {
  const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
  if (!authStatusAllowsReading(status)) {
    printJSONText(notAuthorizedJSON(status));
    return {nullptr, kExitNotAuthorized};
  }
  // Confined before the first image is read. A confined worker cannot follow
  // the library out of its reach: it hands over to a fresh one instead.
  if (confineBeforeReading() && handOver != nullptr) setWatchHandOver([handOver] { handOver->handOver(); });
  // Watching starts before the baseline is taken: a screenshot saved in
  // between is either counted in it or reported, never neither.
  const auto slot = std::make_shared<ObserverSlot>();
  try {
    library.registerChangeObserver(slot);
  } catch (const std::system_error& error) {  // short of descriptors or threads to watch with
    eprint(std::string("shotsieve: cannot watch the screenshots: ") + error.what());
    return {nullptr, kExitInternalFailure};
  }
  FetchResult baseline = library.fetchAssetsWithOptions(screenshotQuery());
  if (!baseline.failure.empty()) {  // a screenshot missing from it would later be reported as new
    eprint("shotsieve: cannot watch the screenshots: " + baseline.failure);
    return {nullptr, kExitInternalFailure};
  }
  // Access withdrawn while watching ends the watch, as the platform ends an application's access.
  auto observer = std::make_shared<Observer>(std::move(baseline), handOver, [&library] {
    return library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
  });
  const auto start = [&] {
    if (handOver != nullptr && handOver->resumed()) {
      observer->reportBaselineNews();  // the reader has its start line from an earlier worker
      return;
    }
    printJSON(JsonObject{}.set("event", "watching").set("baseline_count", observer->baseline().count()));
    // The watcher only ends by a signal or _Exit, which do not flush: a reader
    // waiting for the start line must get it now.
    if (std::fflush(stdout) != 0) endWatchForOutputFailure(errno);
    if (std::ferror(stdout)) endWatchForOutputFailure(EIO);
  };
  if (handOver != nullptr) {
    handOver->start(observer->baseline(), start);
  } else {
    start();
  }
  slot->attach(observer);
  return {observer, 0};
}

int cmdWatch(PhotoLibrary& library) {
#ifdef __GLIBC__
  // A watch runs for weeks: one heap for all its threads, so that what one
  // thread frees of another's is handed back to the system too.
  ::mallopt(M_ARENA_MAX, 1);
#endif
  static const std::unique_ptr<WatchHandOver> handOver = WatchHandOver::ofThisProcess();
  const WatchBegun begun = beginWatch(library, handOver.get());
  if (!begun.observer) return begun.status;
  // The library's thread does the work from here.
  watchUntilReaderGoes([&library] { return library.authorizationStatusForAccessLevel(kReadWriteAccessLevel); });
}

}  // namespace shotsieve
