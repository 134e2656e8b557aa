#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace shotsieve {

// Authorization status values as the platform numbers them.
enum AuthorizationStatusValue : int {
  kNotDetermined = 0,
  kRestricted = 1,
  kDenied = 2,
  kAuthorized = 3,
  kLimited = 4,
};

inline constexpr int kReadWriteAccessLevel = 2;
inline constexpr int kImageMediaType = 1;
inline constexpr int kVideoMediaType = 2;
inline constexpr std::uint32_t kScreenshotSubtype = 4;
inline constexpr int kPhotoResourceType = 1;
inline constexpr int kVideoResourceType = 2;

// One photo-library asset. Dates are seconds since 1970-01-01T00:00:00Z.
struct Asset {
  std::string localIdentifier;
  std::optional<double> creationDate;
  std::optional<double> modificationDate;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  bool isFavorite = false;
  int mediaType = kImageMediaType;
  std::uint32_t mediaSubtypes = 0;
  std::string locator;  // where the library keeps the asset; opaque to callers
};

struct AssetResource {
  int type = kPhotoResourceType;
  std::string originalFilename;
  std::string locator;  // opaque to callers
  // What identifies the resource's data as it is now, for caches of its
  // copies: it changes whenever the data may have changed. Empty when the
  // library cannot tell.
  std::string contentVersion;
  // When the data last changed, in nanoseconds since the epoch, if known.
  std::optional<std::int64_t> changedNanoseconds;
  // The data's length in bytes, if known.
  std::optional<std::uint64_t> size;
};

// Where a folder lies relative to the files the library reads.
enum class FolderPlace {
  outside,        // files put there are never read by the library
  insideLibrary,  // a folder below the library's root that the library reads
  libraryRoot,    // the library's root itself
  aboveLibrary,   // a folder that holds the library's root
};

// What a fetch selects; the sort is always creation date, newest first.
struct FetchOptions {
  std::optional<int> mediaType;
  std::uint32_t subtypeMask = 0;               // every asset with any of these bits
  std::optional<double> earliestCreationDate;  // inclusive; assets without a date never match
};

// Image assets with the screenshot bit, created at or after `since` if given.
inline FetchOptions screenshotQuery(std::optional<double> since = std::nullopt) {
  return FetchOptions{kImageMediaType, kScreenshotSubtype, since};
}

struct FetchResult {
  FetchOptions options;
  std::vector<Asset> assets;  // in sort order
  // Why some assets the options select may be missing (a read that ran out
  // of memory, say); empty when none is.
  std::string failure;
  std::size_t count() const { return assets.size(); }
};

// True when the asset is one that a fetch with these options selects.
bool fetchOptionsSelect(const FetchOptions& options, const Asset& asset);

enum class NetworkAccess { allowed, notAllowed };

struct ResourceRequestOptions {
  NetworkAccess networkAccess = NetworkAccess::allowed;
};

struct ChangeDetails {
  std::vector<Asset> insertedObjects;
};

// One change of the library, as delivered to observers.
struct Change {
  std::vector<Asset> inserted;  // in the library's order
  std::vector<Asset> removed;
  std::vector<Asset> changed;
};

// The identifiers a fetch result holds, for a caller that compares many
// changes with it; views of the result's own strings, valid while it lasts.
using AssetIdentifiers = std::unordered_set<std::string_view>;
AssetIdentifiers identifiersOf(const FetchResult& fetchResult);

// The details of a change relative to an earlier fetch result: the inserted
// assets that its options select and that it does not hold yet, or nothing
// when there are none. `identifiers`, when given, are the result's own.
std::optional<ChangeDetails> changeDetailsForFetchResult(const Change& change, const FetchResult& fetchResult,
                                                         const AssetIdentifiers* identifiers = nullptr);

class PhotoLibraryChangeObserver {
 public:
  virtual ~PhotoLibraryChangeObserver() = default;
  virtual void photoLibraryDidChange(const Change& change) = 0;
};

using AuthorizationHandler = std::function<void(int status)>;
// Called once; no error text means the destination holds the complete data.
using WriteCompletion = std::function<void(std::optional<std::string> error)>;

// The platform operations the system uses, one virtual function per operation.
class PhotoLibrary {
 public:
  virtual ~PhotoLibrary() = default;

  // At once, never prompting.
  virtual int authorizationStatusForAccessLevel(int accessLevel) = 0;
  // The handler runs once, with the status, on a thread of the library's
  // (the calling one, before the call returns, for a library that asks there).
  virtual void requestAuthorizationForAccessLevel(int accessLevel, AuthorizationHandler handler) = 0;
  virtual FetchResult fetchAssetsWithOptions(const FetchOptions& options) = 0;
  virtual std::vector<AssetResource> assetResourcesForAsset(const Asset& asset) = 0;
  // Writes the resource's data to a new file at `path` (never over an existing
  // one), then calls the completion once, on a thread of the library's (the
  // calling one, before the call returns, for a library that copies there).
  virtual void writeDataForAssetResource(const AssetResource& resource, const std::string& path,
                                         const ResourceRequestOptions& options, WriteCompletion completion) = 0;
  // The observer is called after each change, on a thread of the library's;
  // it is never unregistered.
  virtual void registerChangeObserver(std::shared_ptr<PhotoLibraryChangeObserver> observer) = 0;

  // Not a platform operation: where a folder (by path) lies relative to the
  // library's own files, so that exported copies never land where the
  // library would read them back as new assets, and a cache tag is never put
  // on the library itself. A library whose files live apart from the user's
  // folders answers `outside` for every folder.
  virtual FolderPlace placeOfFolder(const std::string& path);
};

// The process's photo library: the folder library over the user's Pictures.
PhotoLibrary& sharedPhotoLibrary();

}  // namespace shotsieve
