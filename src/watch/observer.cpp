#include "watch/observer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "listing/asset_record.h"
#include "output/print.h"
#include "watch/watch_end.h"

namespace shotsieve {

void Observer::photoLibraryDidChange(const Change& change) {
  const auto details = changeDetailsForFetchResult(change, baseline_);
  if (!details) return;
  for (const Asset& asset : details->insertedObjects) {
    if ((asset.mediaSubtypes & kScreenshotSubtype) == 0) continue;
    printJSON(JsonObject{}.set("event", "screenshot-added").set("asset", assetToDict(asset)));
    // With SIGPIPE ignored a reader that has gone away shows only as a failed
    // write; watching on for nobody would be a leak.
    if (std::fflush(stdout) != 0) endWatchForOutputFailure(errno);
    if (std::ferror(stdout)) endWatchForOutputFailure(EIO);
    ::fsync(STDOUT_FILENO);  // a pipe or terminal refuses; that is fine
  }
}

}  // namespace shotsieve
