#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "photos/photo_library.h"

namespace shotsieve {

// An in-memory photo library that tests script precisely: any status value,
// assets with their resources, the outcome of each write, and changes.
class MemoryLibrary : public PhotoLibrary {
 public:
  enum class WriteOutcome {
    success,  // writes the scripted bytes, then completes without error
    error,    // completes with an error and writes nothing
    never,    // never completes
  };
  struct WriteScript {
    WriteOutcome outcome = WriteOutcome::success;
    std::chrono::milliseconds delay{0};  // before the write and its completion
    std::string data = "image data";
  };
  struct StoredAsset {
    Asset asset;
    std::vector<AssetResource> resources;
  };

  ~MemoryLibrary() override;  // waits for slow writes still under way

  // Scripting; set before the code under test runs.
  int status = kAuthorized;
  int requestAnswer = kAuthorized;  // what a request delivers
  std::vector<StoredAsset> assets;  // kept in creation order, newest first, by fetches
  std::map<std::string, WriteScript> writes;  // by resource locator; default: success
  std::map<std::string, FolderPlace> folderPlaces;  // by path; default: outside
  bool fetchThrows = false;  // a fetch throws, as a fault deep in a library would

  // Adds an asset with one photo resource named `filename`.
  Asset addScreenshot(std::string localIdentifier, double creationDate, std::string filename = "shot.png");
  // Calls every registered observer with the change, on another thread, and waits.
  void deliver(const Change& change);

  // Logs.
  int statusQueries() const;
  std::vector<FetchOptions> fetches() const;
  std::vector<std::string> writtenPaths() const;
  std::vector<ResourceRequestOptions> writeOptions() const;
  std::size_t observerCount() const;

  int authorizationStatusForAccessLevel(int accessLevel) override;
  void requestAuthorizationForAccessLevel(int accessLevel, AuthorizationHandler handler) override;
  FetchResult fetchAssetsWithOptions(const FetchOptions& options) override;
  std::vector<AssetResource> assetResourcesForAsset(const Asset& asset) override;
  void writeDataForAssetResource(const AssetResource& resource, const std::string& path,
                                 const ResourceRequestOptions& options, WriteCompletion completion) override;
  void registerChangeObserver(std::shared_ptr<PhotoLibraryChangeObserver> observer) override;
  FolderPlace placeOfFolder(const std::string& path) override;

 private:
  mutable std::mutex mutex_;
  int statusQueries_ = 0;
  std::vector<FetchOptions> fetches_;
  std::vector<std::string> writtenPaths_;
  std::vector<ResourceRequestOptions> writeOptions_;
  std::vector<std::shared_ptr<PhotoLibraryChangeObserver>> observers_;
  std::vector<WriteCompletion> neverCalled_;  // kept alive, as the platform would
  std::vector<std::thread> threads_;
};

}  // namespace shotsieve
