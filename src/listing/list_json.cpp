#include "listing/list_json.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <vector>

#include "export/prune_cache.h"
#include "listing/asset_record.h"
#include "listing/export_runner.h"
#include "listing/window.h"
#include "output/json.h"
#include "output/json_array_text.h"
#include "output/standard_output.h"
#include "output/utf8.h"
#include "photos/authorization.h"
#include "photos/confinement.h"

namespace shotsieve {

namespace {

JsonObject listingEntry(const Asset& asset, const ExportResult& exported) {
  JsonObject entry;
  entry.set("uuid", assetUUID(asset))
      .set("date", dateText(asset.creationDate))
      .set("width", asset.pixelWidth)
      .set("height", asset.pixelHeight)
      .set("original_filename", exported.filename)
      .set("path", decodeUtf8Lossy(exported.path.value_or("")))  // a no-op: no export directory named otherwise is used
      .set("ismissing", !exported.path.has_value());
  return entry;
}

Answer listAuthorized(PhotoLibrary& library, std::int64_t days, const std::string& exportDir,
                      const ListOptions& options, std::FILE* stream) {
  const ExportDirectory directory = ExportDirectory::prepare(exportDir, library);
  confineBeforeReading(directory.usable() ? directory.fd() : -1);  // the one folder written, besides the cache
  const FetchOptions fetch = screenshotQuery(windowStart(days, std::time(nullptr)));
  FetchResult fetched = library.fetchAssetsWithOptions(fetch);
  if (!fetched.failure.empty()) return Answer::failed(fetched.failure);  // a listing short of screenshots is no answer
  std::vector<Asset> assets = std::move(fetched.assets);

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
  try {
    bool budgetSpent = false;
    {
      ExportRunner exports(library, assets, directory, options.networkAccess, options.exportTimeout,
                           options.exportsInFlight, deadline);
      for (std::size_t listed = 0; const auto exported = exports.next(); ++listed) {
        result.add(listingEntry(assets[listed], *exported));  // paired by position, whatever the answer holds
        Asset done = std::move(assets[listed]);  // freed here: a long window should not hold every asset and every entry
        if (result.size() % 8192 == 0) returnFreedMemory();
        if (result.writeFailed() || result.failed()) exports.stop();  // an answer nobody gets needs no more exports
      }
      budgetSpent = exports.budgetSpent();
    }
    std::vector<Asset>().swap(assets);  // "= {}" would keep the buffer
    pruneCache(directory, kCacheKeepDays);
    if (budgetSpent) {
      result.add(JsonObject{}.set("__truncated", true).set("__done", result.size()).set("__total", total));
    }
  } catch (const std::exception& error) {  // out of memory, say: what went out is closed, nothing more is said
    return std::move(result).abandon(error.what());
  }
  return std::move(result).text();
}

}  // namespace

Answer listJSON(PhotoLibrary& library, std::int64_t days, const std::string& exportDir, const ListOptions& options) {
  try {
    const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
    if (!authStatusAllowsReading(status)) return Answer::of(notAuthorizedJSON(status));
    return listAuthorized(library, days, exportDir, options, nullptr);
  } catch (const std::exception& error) {
    return Answer::failed(error.what());
  }
}

ListStreamed streamListJSON(PhotoLibrary& library, std::int64_t days, const std::string& exportDir, std::FILE* out,
                            const ListOptions& options) {
  const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
  if (!authStatusAllowsReading(status)) {
    writeToStream(out, notAuthorizedJSON(status) + "\n");
    return {ListStreamOutcome::notAuthorized, {}};
  }
  ::flockfile(out);
  Answer answer = Answer::failed("unknown failure");
  try {
    answer = listAuthorized(library, days, exportDir, options, out);
  } catch (const std::exception& error) {  // before any of the array went out
    answer = Answer::failed(error.what());
  }
  if (answer.made() && !answer.text().empty()) writeToStream(out, answer.text() + "\n");  // else written as it grew
  ::funlockfile(out);
  if (!answer.made()) return {ListStreamOutcome::failed, answer.failure()};
  return {ListStreamOutcome::listed, {}};
}

}  // namespace shotsieve
