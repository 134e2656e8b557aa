#include <algorithm>
#include <unordered_set>

#include "photos/photo_library.h"

namespace shotsieve {

FolderPlace PhotoLibrary::placeOfFolder(const std::string&) { return FolderPlace::outside; }

bool fetchOptionsSelect(const FetchOptions& options, const Asset& asset) {
  if (options.mediaType && asset.mediaType != *options.mediaType) return false;
  if (options.subtypeMask != 0 && (asset.mediaSubtypes & options.subtypeMask) == 0) return false;
  if (options.earliestCreationDate) {
    if (!asset.creationDate || *asset.creationDate < *options.earliestCreationDate) return false;
  }
  return true;
}

AssetIdentifiers identifiersOf(const FetchResult& fetchResult) {
  AssetIdentifiers identifiers(fetchResult.assets.size());
  for (const auto& asset : fetchResult.assets) identifiers.insert(asset.localIdentifier);
  return identifiers;
}

std::optional<ChangeDetails> changeDetailsForFetchResult(const Change& change, const FetchResult& fetchResult,
                                                         const AssetIdentifiers* identifiers) {
  // Without the result's identifiers, a change of one or a few assets is
  // looked up in the fetch result directly: hashing a large baseline for
  // every new screenshot would cost more than the rest of its delivery. A
  // burst gets a set.
  AssetIdentifiers held;
  if (identifiers == nullptr && change.inserted.size() * 16 >= fetchResult.assets.size()) {
    held = identifiersOf(fetchResult);
    identifiers = &held;
  }
  const auto inBaseline = [&](const std::string& id) {
    if (identifiers != nullptr) return identifiers->contains(id);
    return std::any_of(fetchResult.assets.begin(), fetchResult.assets.end(),
                       [&](const Asset& asset) { return asset.localIdentifier == id; });
  };
  std::unordered_set<std::string_view> inserted;  // an asset inserted twice in one change is one
  ChangeDetails details;
  for (const auto& asset : change.inserted) {
    if (!fetchOptionsSelect(fetchResult.options, asset)) continue;
    if (!inBaseline(asset.localIdentifier) && inserted.insert(asset.localIdentifier).second) {
      details.insertedObjects.push_back(asset);
    }
  }
  if (details.insertedObjects.empty()) return std::nullopt;
  return details;
}

}  // namespace shotsieve
