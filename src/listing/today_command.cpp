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

std::string listTodayJSON(PhotoLibrary& library) {
  const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
  if (!authStatusAllowsReading(status)) return notAuthorizedJSON(status);
  confineBeforeReading();
  const FetchOptions fetch = screenshotQuery(windowStart(1, std::time(nullptr)));
  std::vector<Asset> assets = std::move(library.fetchAssetsWithOptions(fetch).assets);
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
  std::string itemsText = std::move(items).text();
  if (itemsText == "{}") return itemsText;
  return R"({"count":)" + std::to_string(count) + R"(,"items":)" + itemsText + "}";
}

int cmdListToday(PhotoLibrary& library) {
  const std::string text = listTodayJSON(library);
  printJSONText(text);
  return text.starts_with(R"({"error":"not-authorized")") ? kExitNotAuthorized : 0;
}

}  // namespace shotsieve
