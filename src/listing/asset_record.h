#pragma once

#include <string>

#include "output/json.h"
#include "photos/photo_library.h"

namespace shotsieve {

// The part of the local identifier before its first "/" (possibly empty), or
// the whole identifier when it has none.
std::string assetUUID(const Asset& asset);

// The eight-member record of an asset: "uuid", "id", "created_at",
// "modified_at" (empty texts for absent dates), "width", "height",
// "is_screenshot", "is_favorite".
JsonObject assetToDict(const Asset& asset);

// A date as iso8601 text, or the empty text when there is none.
std::string dateText(const std::optional<double>& date);

}  // namespace shotsieve
