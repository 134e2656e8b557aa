#include "watch/observer.h"

#include <unistd.h>

#include <cstdio>

#include "listing/asset_record.h"
#include "output/print.h"

namespace shotsieve {

void Observer::photoLibraryDidChange(const Change& change) {
  const auto details = changeDetailsForFetchResult(change, baseline_);
  if (!details) return;
  for (const Asset& asset : details->insertedObjects) {
    if ((asset.mediaSubtypes & kScreenshotSubtype) == 0) continue;
    printJSON(JsonObject{}.set("event", "screenshot-added").set("asset", assetToDict(asset)));
    std::fflush(stdout);
    ::fsync(STDOUT_FILENO);  // a pipe or terminal refuses; that is fine
  }
}

}  // namespace shotsieve
