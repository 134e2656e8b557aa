#include <gtest/gtest.h>

#include "listing/asset_record.h"

namespace shotsieve {
namespace {

Asset withIdentifier(std::string identifier) {
  Asset asset;
  asset.localIdentifier = std::move(identifier);
  return asset;
}

TEST(AssetToDict, EightMembersNeverNull) {
  Asset asset = withIdentifier("U/L0/001");
  asset.creationDate = 1709647629.7;
  asset.pixelWidth = 0;
  asset.pixelHeight = 1080;
  asset.mediaSubtypes = 4 | 8 | 1;
  asset.isFavorite = true;
  EXPECT_EQ(jsonEncode(assetToDict(asset)),
            R"({"uuid":"U","id":"U\/L0\/001","created_at":"2024-03-05T14:07:09Z","modified_at":"",)"
            R"("width":0,"height":1080,"is_screenshot":true,"is_favorite":true})");
  asset.mediaSubtypes = 8 | 1 | 16;
  EXPECT_EQ(*assetToDict(asset).find("is_screenshot")->as<bool>(), false);
}

}  // namespace
}  // namespace shotsieve
