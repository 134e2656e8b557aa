#include "watch/watch_command.h"

#include <cerrno>
#include <cstdio>

#include "listing/list_command.h"
#include "output/print.h"
#include "photos/authorization.h"
#include "watch/watch_end.h"

namespace shotsieve {

std::shared_ptr<Observer> beginWatch(PhotoLibrary& library) {
  const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
  if (!authStatusAllowsReading(status)) {
    printJSONText(notAuthorizedJSON(status));
    return nullptr;
  }
  auto observer = std::make_shared<Observer>(library.fetchAssetsWithOptions(screenshotQuery()));
  library.registerChangeObserver(observer);
  printJSON(JsonObject{}.set("event", "watching").set("baseline_count", observer->baseline().count()));
  // The watcher only ends by a signal or _Exit, which do not flush: a reader
  // waiting for the start line must get it now.
  if (std::fflush(stdout) != 0) endWatchForOutputFailure(errno);
  if (std::ferror(stdout)) endWatchForOutputFailure(EIO);
  return observer;
}

int cmdWatch(PhotoLibrary& library) {
  const auto observer = beginWatch(library);
  if (!observer) return kExitNotAuthorized;
  watchUntilReaderGoes();  // the library's thread does the work from here
}

}  // namespace shotsieve
