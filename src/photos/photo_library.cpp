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

std::optional<ChangeDetails> changeDetailsForFetchResult(const Change& change, const FetchResult& fetchResult) {
  // A change of one or a few assets is looked up in the fetch result directly:
  // hashing a large baseline for every new screenshot would cost more than
  // the rest of its delivery. A burst gets a set.
  const bool few = change.inserted.size() * 16 < fetchResult.assets.size();
  std::unordered_set<std::string> held;
  if (!few) {
    for (const auto& asset : fetchResult.assets) held.insert(asset.localIdentifier);
  }
  const auto inBaseline = [&](const std::string& id) {
    return std::any_of(fetchResult.assets.begin(), fetchResult.assets.end(),
                       [&](const Asset& asset) { return asset.localIdentifier == id; });
  };
  ChangeDetails details;
  for (const auto& asset : change.inserted) {
    if (!fetchOptionsSelect(fetchResult.options, asset)) continue;
    const bool fresh = few ? !inBaseline(asset.localIdentifier) && held.insert(asset.localIdentifier).second
                           : held.insert(asset.localIdentifier).second;
    if (fresh) details.insertedObjects.push_back(asset);
  }
  if (details.insertedObjects.empty()) return std::nullopt;
  return details;
}

}  // namespace shotsieve
