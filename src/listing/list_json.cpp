#include "listing/list_json.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "export/prune_cache.h"
#include "listing/asset_record.h"
#include "listing/window.h"
#include "output/json.h"
#include "output/json_array_text.h"
#include "output/standard_output.h"
#include "output/utf8.h"
#include "photos/authorization.h"

namespace shotsieve {

namespace {

// Creates the directory and its missing parents with 0700; failures are left
// for the exports to meet.
void createExportDirectory(const std::string& dir) {
  if (dir.empty()) return;
  for (std::size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
    ::mkdir(dir.substr(0, slash).c_str(), 0700);
  }
  ::mkdir(dir.c_str(), 0700);
}

// One export on a thread of its own; joined in fetch order, or at the latest
// when it is dropped.
struct ExportUnderWay {
  std::thread thread;
  ExportResult result;
  ~ExportUnderWay() {
    if (thread.joinable()) thread.join();
  }
};

JsonObject listingEntry(const Asset& asset, const ExportResult& exported) {
  JsonObject entry;
  entry.set("uuid", assetUUID(asset))
      .set("date", dateText(asset.creationDate))
      .set("width", asset.pixelWidth)
      .set("height", asset.pixelHeight)
      .set("original_filename", exported.filename)
      .set("path", decodeUtf8Lossy(exported.path.value_or("")))  // the directory's bytes may not be UTF-8
      .set("ismissing", !exported.path.has_value());
  return entry;
}

std::string listAuthorized(PhotoLibrary& library, std::int64_t days, const std::string& exportDir,
                           const ListOptions& options, std::FILE* stream) {
  createExportDirectory(exportDir);
  const FetchOptions fetch = screenshotQuery(windowStart(days, std::time(nullptr)));
  std::vector<Asset> assets = std::move(library.fetchAssetsWithOptions(fetch).assets);

  // The budget counts from here: the fetch is not part of it.
  using Clock = std::chrono::steady_clock;
  const bool limited = options.budgetSeconds > 0;  // false for NaN too
  const Clock::time_point deadline =
      limited ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(std::min(options.budgetSeconds, 1.0e9)))
              : Clock::time_point::max();

  // Encoded entry by entry, so a long window never holds its whole answer twice.
  const std::size_t total = assets.size();
  JsonArrayText result = stream != nullptr ? JsonArrayText(total, stream) : JsonArrayText(total);
  std::deque<std::unique_ptr<ExportUnderWay>> underWay;  // in fetch order
  std::size_t started = 0;
  bool budgetSpent = false;
  const std::size_t inFlight = std::max<std::size_t>(1, options.exportsInFlight);
  while (started < assets.size() || !underWay.empty()) {
    // An answer that cannot be written any more has nobody to export for.
    while (!budgetSpent && !result.writeFailed() && started < assets.size() && underWay.size() < inFlight) {
      if (Clock::now() >= deadline) {
        budgetSpent = true;
        break;
      }
      auto job = std::make_unique<ExportUnderWay>();
      job->thread = std::thread([&library, &asset = assets[started], &exportDir, &options, slot = job.get()] {
        slot->result = exportOriginal(library, asset, exportDir, options.networkAccess, options.exportTimeout);
      });
      underWay.push_back(std::move(job));
      ++started;
    }
    if (underWay.empty()) break;
    underWay.front()->thread.join();  // the join orders its result before the read below
    const ExportResult exported = std::move(underWay.front()->result);
    Asset& listed = assets[result.size()];
    result.add(listingEntry(listed, exported));
    Asset done = std::move(listed);  // freed here: a long window should not hold every asset and every entry
    if (result.size() % 8192 == 0) returnFreedMemory();
    underWay.pop_front();
  }
  std::vector<Asset>().swap(assets);  // "= {}" would keep the buffer
  pruneCache(exportDir, kCacheKeepDays);
  if (budgetSpent) {
    result.add(JsonObject{}.set("__truncated", true).set("__done", result.size()).set("__total", total));
  }
  return std::move(result).text();
}

}  // namespace

std::string listJSON(PhotoLibrary& library, std::int64_t days, const std::string& exportDir,
                     const ListOptions& options) {
  try {
    const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
    if (!authStatusAllowsReading(status)) return notAuthorizedJSON(status);
    return listAuthorized(library, days, exportDir, options, nullptr);
  } catch (const std::exception&) {
    return "{}";
  }
}

ListStreamOutcome streamListJSON(PhotoLibrary& library, std::int64_t days, const std::string& exportDir,
                                 std::FILE* out, const ListOptions& options) {
  const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
  if (!authStatusAllowsReading(status)) {
    writeToStream(out, notAuthorizedJSON(status) + "\n");
    return ListStreamOutcome::notAuthorized;
  }
  std::string rest;
  try {
    ::flockfile(out);
    rest = listAuthorized(library, days, exportDir, options, out);
  } catch (const std::exception&) {
    rest = "{}";  // out of memory: nothing better can be written
  }
  writeToStream(out, rest + "\n");
  ::funlockfile(out);
  return ListStreamOutcome::listed;
}

}  // namespace shotsieve
