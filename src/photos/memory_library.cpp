#include "photos/memory_library.h"

#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "photos/unique_fd.h"

namespace shotsieve {

MemoryLibrary::~MemoryLibrary() {
  for (auto& thread : threads_) thread.join();
}

Asset MemoryLibrary::addScreenshot(std::string localIdentifier, double creationDate, std::string filename) {
  StoredAsset stored;
  stored.asset.localIdentifier = std::move(localIdentifier);
  stored.asset.creationDate = creationDate;
  stored.asset.modificationDate = creationDate;
  stored.asset.pixelWidth = 1920;
  stored.asset.pixelHeight = 1080;
  stored.asset.mediaSubtypes = kScreenshotSubtype;
  stored.asset.locator = stored.asset.localIdentifier;
  AssetResource resource;
  resource.originalFilename = std::move(filename);
  resource.locator = stored.asset.locator;
  stored.resources.push_back(std::move(resource));
  assets.push_back(std::move(stored));
  return assets.back().asset;
}

void MemoryLibrary::deliver(const Change& change) {
  std::vector<std::shared_ptr<PhotoLibraryChangeObserver>> observers;
  {
    std::lock_guard lock(mutex_);
    observers = observers_;
  }
  std::thread([&] {
    for (const auto& observer : observers) observer->photoLibraryDidChange(change);
  }).join();
}

int MemoryLibrary::statusQueries() const {
  std::lock_guard lock(mutex_);
  return statusQueries_;
}
std::vector<FetchOptions> MemoryLibrary::fetches() const {
  std::lock_guard lock(mutex_);
  return fetches_;
}
std::vector<std::string> MemoryLibrary::writtenPaths() const {
  std::lock_guard lock(mutex_);
  return writtenPaths_;
}
std::vector<ResourceRequestOptions> MemoryLibrary::writeOptions() const {
  std::lock_guard lock(mutex_);
  return writeOptions_;
}
std::size_t MemoryLibrary::observerCount() const {
  std::lock_guard lock(mutex_);
  return observers_.size();
}

int MemoryLibrary::authorizationStatusForAccessLevel(int) {
  std::lock_guard lock(mutex_);
  ++statusQueries_;
  return status;
}

void MemoryLibrary::requestAuthorizationForAccessLevel(int, AuthorizationHandler handler) {
  std::lock_guard lock(mutex_);
  threads_.emplace_back([answer = requestAnswer, handler = std::move(handler)] { handler(answer); });
}

FetchResult MemoryLibrary::fetchAssetsWithOptions(const FetchOptions& options) {
  if (fetchThrows) throw std::runtime_error("the scripted fetch failed");
  FetchResult result;
  result.options = options;
  for (const auto& stored : assets) {
    if (fetchOptionsSelect(options, stored.asset)) result.assets.push_back(stored.asset);
  }
  std::stable_sort(result.assets.begin(), result.assets.end(),
                   [](const Asset& a, const Asset& b) { return a.creationDate > b.creationDate; });
  std::lock_guard lock(mutex_);
  fetches_.push_back(options);
  return result;
}

std::vector<AssetResource> MemoryLibrary::assetResourcesForAsset(const Asset& asset) {
  for (const auto& stored : assets) {
    if (stored.asset.localIdentifier == asset.localIdentifier) return stored.resources;
  }
  return {};
}

void MemoryLibrary::writeDataForAssetResource(const AssetResource& resource, const std::string& path,
                                              const ResourceRequestOptions& options, WriteCompletion completion) {
  const auto scripted = writes.find(resource.locator);
  const WriteScript script = scripted == writes.end() ? WriteScript{} : scripted->second;
  std::lock_guard lock(mutex_);
  writtenPaths_.push_back(path);
  writeOptions_.push_back(options);
  if (script.outcome == WriteOutcome::never) {
    neverCalled_.push_back(std::move(completion));
    return;
  }
  threads_.emplace_back([script, path, completion = std::move(completion)] {
    std::this_thread::sleep_for(script.delay);
    if (script.outcome == WriteOutcome::error) {
      completion("scripted write error");
      return;
    }
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) {
      completion("cannot create the destination");
      return;
    }
    const bool written =
        ::write(fd.get(), script.data.data(), script.data.size()) == static_cast<ssize_t>(script.data.size()) && fd.close();
    if (!written) ::unlink(path.c_str());
    completion(written ? std::nullopt : std::optional<std::string>("write failed"));
  });
}

FolderPlace MemoryLibrary::placeOfFolder(const std::string& path) {
  const auto place = folderPlaces.find(path);
  return place == folderPlaces.end() ? FolderPlace::outside : place->second;
}

void MemoryLibrary::registerChangeObserver(std::shared_ptr<PhotoLibraryChangeObserver> observer) {
  std::lock_guard lock(mutex_);
  observers_.push_back(std::move(observer));
}

}  // namespace shotsieve
