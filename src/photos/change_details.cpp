#include <algorithm>
#include <unordered_set>

#include "photos/photo_library.h"

namespace shotsieve {

bool fetchOptionsSelect(const FetchOptions& options, const Asset& asset) {
  if (options.mediaType && asset.mediaType != *options.mediaType) return false;
  if (options.subtypeMask != 0 && (asset.mediaSubtypes & options.subtypeMask) == 0) return false;
  if (options.earliestCreationDate) {
    if (!asset.creationDate || *asset.creationDate < *options.earliestCreationDate) return false;
  }
  return true;
}

std::optional<ChangeDetails> changeDetailsForFetchResult(const Change& change, const FetchResult& fetchResult) {
  std::unordered_set<std::string> held;
  for (const auto& asset : fetchResult.assets) held.insert(asset.localIdentifier);
  ChangeDetails details;
  for (const auto& asset : change.inserted) {
    if (fetchOptionsSelect(fetchResult.options, asset) && held.insert(asset.localIdentifier).second) {
      details.insertedObjects.push_back(asset);
    }
  }
  if (details.insertedObjects.empty()) return std::nullopt;
  return details;
}

}  // namespace shotsieve
