#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "photos/folder/access_state.h"
#include "photos/folder/watch/change_watcher.h"
#include "photos/folder/library_location.h"
#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/scan/fetch_assets.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// The user's Pictures folder as the photo library.
class FolderLibrary final : public PhotoLibrary {
 public:
  FolderLibrary(LibraryLocation location, std::string usageText, ReadSettings readSettings = {});
  ~FolderLibrary() override;

  int authorizationStatusForAccessLevel(int accessLevel) override;
  void requestAuthorizationForAccessLevel(int accessLevel, AuthorizationHandler handler) override;
  FetchResult fetchAssetsWithOptions(const FetchOptions& options) override;
  std::vector<AssetResource> assetResourcesForAsset(const Asset& asset) override;
  void writeDataForAssetResource(const AssetResource& resource, const std::string& path,
                                 const ResourceRequestOptions& options, WriteCompletion completion) override;
  void registerChangeObserver(std::shared_ptr<PhotoLibraryChangeObserver> observer) override;
  FolderPlace placeOfFolder(const std::string& path) override;

 private:
  void deliver(const Change& change);

  const LibraryLocation location_;
  const std::string usageText_;
  const ReadSettings readSettings_;
  AccessStateLook access_;
  MetadataIndex index_;  // shared by fetches and the watcher: one file has one identifier in both
  std::mutex observersMutex_;
  std::vector<std::shared_ptr<PhotoLibraryChangeObserver>> observers_;
  std::unique_ptr<ChangeWatcher> watcher_;
  bool watcherAwaitsFiles_ = false;  // until the fetch after it began, guarded by observersMutex_
};

}  // namespace shotsieve::folder
