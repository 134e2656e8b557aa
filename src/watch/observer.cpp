#include "watch/observer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "listing/asset_record.h"
#include "output/print.h"
#include "photos/authorization.h"
#include "watch/watch_end.h"

namespace shotsieve {

void Observer::photoLibraryDidChange(const Change& change) {
  std::call_once(identified_, [&] { identifiers_ = identifiersOf(baseline_); });
  const auto details = changeDetailsForFetchResult(change, baseline_, &identifiers_);
  if (!details) return;
  for (const Asset& asset : details->insertedObjects) {
    if ((asset.mediaSubtypes & kScreenshotSubtype) == 0) continue;
    if (handOver_ != nullptr && !handOver_->reported(asset.localIdentifier)) continue;  // told by an earlier worker
    report(asset);
  }
}

void Observer::reportBaselineNews() {
  std::vector<const Asset*> news;
  for (const Asset& asset : baseline_.assets) {
    if (handOver_ != nullptr && !handOver_->toldBefore(asset.localIdentifier)) news.push_back(&asset);
  }
  std::stable_sort(news.begin(), news.end(), [](const Asset* a, const Asset* b) { return a->creationDate < b->creationDate; });
  for (const Asset* asset : news) report(*asset);
}

void Observer::report(const Asset& asset) {
  std::unique_lock line(watchLineLock());
  if (currentStatus_) {
    if (const int status = currentStatus_(); !authStatusAllowsReading(status)) {
      line.unlock();  // taken again, for good, by the end
      endWatchNotAuthorized(status);
    }
  }
  printJSON(JsonObject{}.set("event", "screenshot-added").set("asset", assetToDict(asset)));
  // With SIGPIPE ignored a reader that has gone away shows only as a failed
  // write; watching on for nobody would be a leak.
  if (std::fflush(stdout) != 0) endWatchForOutputFailure(errno);
  if (std::ferror(stdout)) endWatchForOutputFailure(EIO);
  if (outputSyncs_ && ::fsync(STDOUT_FILENO) != 0 && errno == EINVAL) outputSyncs_ = false;
}

}  // namespace shotsieve
