#include "listing/today_command.h"

#include <ctime>

#include "listing/asset_record.h"
#include "listing/list_command.h"
#include "listing/window.h"
#include "output/json_array_text.h"
#include "output/print.h"
#include "photos/authorization.h"
#include "photos/confinement.h"

namespace shotsieve {

namespace {

Answer listToday(PhotoLibrary& library) {
  const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
  if (!authStatusAllowsReading(status)) return Answer::of(notAuthorizedJSON(status));
  confineBeforeReading();
  const FetchOptions fetch = screenshotQuery(windowStart(1, std::time(nullptr)));
  FetchResult fetched = library.fetchAssetsWithOptions(fetch);
  if (!fetched.failure.empty()) return Answer::failed(fetched.failure);
  std::vector<Asset> assets = std::move(fetched.assets);
  // Encoded record by record, each asset freed once written: the same text as
  // encoding the whole object, without holding every record as a value.
  JsonArrayText items(assets.size());
  for (Asset& asset : assets) {
    items.add(assetToDict(asset));
    Asset done = std::move(asset);
    if (items.size() % 8192 == 0) returnFreedMemory();
  }
  const std::size_t count = items.size();
  std::vector<Asset>().swap(assets);  // "= {}" would keep the buffer
  Answer itemsText = std::move(items).text();
  if (!itemsText.made()) return itemsText;
  return Answer::of(R"({"count":)" + std::to_string(count) + R"(,"items":)" + std::move(itemsText).text() + "}");
}

}  // namespace

Answer listTodayJSON(PhotoLibrary& library) {
  try {
    return listToday(library);
  } catch (const std::exception& error) {
    return Answer::failed(error.what());
  }
}

int cmdListToday(PhotoLibrary& library) {
  const Answer answer = listTodayJSON(library);
  if (!answer.made()) {
    eprint("shotsieve: cannot list today's screenshots: " + answer.failure());
    return kExitInternalFailure;
  }
  printJSONText(answer.text());
  return answer.text().starts_with(R"({"error":"not-authorized")") ? kExitNotAuthorized : 0;
}

}  // namespace shotsieve
