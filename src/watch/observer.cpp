#include "watch/observer.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "listing/asset_record.h"
#include "output/print.h"

namespace shotsieve {

void Observer::photoLibraryDidChange(const Change& change) {
  const auto details = changeDetailsForFetchResult(change, baseline_);
  if (!details) return;
  for (const Asset& asset : details->insertedObjects) {
    if ((asset.mediaSubtypes & kScreenshotSubtype) == 0) continue;
    printJSON(JsonObject{}.set("event", "screenshot-added").set("asset", assetToDict(asset)));
    // A reader that has gone away ends the watch; with SIGPIPE ignored that
    // shows only as a failed write, and watching on for nobody would be a leak.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) std::_Exit(0);
    ::fsync(STDOUT_FILENO);  // a pipe or terminal refuses; that is fine
  }
}

}  // namespace shotsieve
