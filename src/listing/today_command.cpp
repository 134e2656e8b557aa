#include "listing/today_command.h"

#include <ctime>

#include "listing/asset_record.h"
#include "listing/list_command.h"
#include "listing/window.h"
#include "output/print.h"
#include "photos/authorization.h"

namespace shotsieve {

std::string listTodayJSON(PhotoLibrary& library) {
  const int status = library.authorizationStatusForAccessLevel(kReadWriteAccessLevel);
  if (!authStatusAllowsReading(status)) return notAuthorizedJSON(status);
  const FetchOptions fetch = screenshotQuery(windowStart(1, std::time(nullptr)));
  JsonArray items;
  for (const Asset& asset : library.fetchAssetsWithOptions(fetch).assets) items.push_back(assetToDict(asset));
  const std::size_t count = items.size();
  return jsonEncode(JsonObject{}.set("count", count).set("items", std::move(items)));
}

int cmdListToday(PhotoLibrary& library) {
  const std::string text = listTodayJSON(library);
  printJSONText(text);
  return text.starts_with(R"({"error":"not-authorized")") ? kExitNotAuthorized : 0;
}

}  // namespace shotsieve
