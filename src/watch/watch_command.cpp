#include "watch/watch_command.h"

#include <unistd.h>

#include <cstdio>

#include "listing/list_command.h"
#include "output/print.h"
#include "photos/authorization.h"

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
  // The watcher only ends by a signal, which does not flush: a reader waiting
  // for the start line must get it now.
  std::fflush(stdout);
  return observer;
}

int cmdWatch(PhotoLibrary& library) {
  const auto observer = beginWatch(library);
  if (!observer) return kExitNotAuthorized;
  for (;;) ::pause();  // the library's thread does the work from here
}

}  // namespace shotsieve
