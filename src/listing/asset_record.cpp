#include "listing/asset_record.h"

#include "output/iso8601.h"

namespace shotsieve {

std::string assetUUID(const Asset& asset) {
  const std::string& identifier = asset.localIdentifier;
  return identifier.substr(0, identifier.find('/'));
}

std::string dateText(const std::optional<double>& date) { return date ? iso8601(*date) : std::string(); }

JsonObject assetToDict(const Asset& asset) {
  const std::uint32_t subtypes = asset.mediaSubtypes;
  JsonObject record;
  record.set("uuid", assetUUID(asset))
      .set("id", asset.localIdentifier)
      .set("created_at", dateText(asset.creationDate))
      .set("modified_at", dateText(asset.modificationDate))
      .set("width", asset.pixelWidth)
      .set("height", asset.pixelHeight)
      .set("is_screenshot", (subtypes & kScreenshotSubtype) != 0)
      .set("is_favorite", asset.isFavorite);
  return record;
}

}  // namespace shotsieve
