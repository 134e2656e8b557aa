#include "photos/folder/folder_library.h"

#include <algorithm>
#include <cstring>

#include "output/print.h"
#include "output/utf8.h"
#include "photos/authorization.h"
#include "photos/folder/access_request.h"
#include "photos/folder/access_state.h"
#include "photos/folder/scan/fetch_assets.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/folder/resource_copy.h"
#include "photos/folder/scan/folder_place.h"

namespace shotsieve::folder {

FolderLibrary::FolderLibrary(LibraryLocation location, std::string usageText, ReadSettings readSettings)
    : location_(std::move(location)),
      usageText_(std::move(usageText)),
      readSettings_(readSettings),
      access_(location_.accessState),
      index_(location_.cacheDir.empty() ? std::string() : location_.cacheDir + "/metadata-index") {}

FolderLibrary::~FolderLibrary() { watcher_.reset(); }

int FolderLibrary::authorizationStatusForAccessLevel(int) { return access_.current(); }

void FolderLibrary::requestAuthorizationForAccessLevel(int, AuthorizationHandler handler) {
  // Asked on the caller's thread, which waits for the answer anyway: no
  // thread of ours outlives the call (a host may unload the library after it).
  const AccessRequest request = requestAccess(location_.accessState, usageText_);
  if (request.nobodyAsked) {  // nothing was granted that nobody gave
    noticeRequest(
        "shotsieve: nobody could be asked for access (no terminal in front, and no desktop notification service "
        "with actions on the session bus); nothing was recorded: run shotsieve request-auth in a terminal to decide");
  }
  if (request.notRecorded != 0) {
    noticeRequest("shotsieve: the answer could not be recorded in " + location_.accessState + " (" +
                  std::strerror(request.notRecorded) +
                  "); nothing was changed: run shotsieve request-auth again once it can be written");
  }
  handler(request.status);
}

FetchResult FolderLibrary::fetchAssetsWithOptions(const FetchOptions& options) {
  // The first fetch after a watcher began tells it the files present, those
  // it looked at one by one and the folders it passed over whole, so that the
  // watcher need not walk them again.
  FilesSeen seen;
  ChangeWatcher* told = nullptr;
  {
    std::lock_guard lock(observersMutex_);
    if (watcher_ && watcherAwaitsFiles_) {
      told = watcher_.get();
      seen = [told](std::vector<SeenFile> files) { told->filesPresent(std::move(files)); };
    }
    watcherAwaitsFiles_ = false;
  }
  // Of this fetch alone: fetches on several threads each read and write it
  // whole. A watch's baseline walks by what its start loaded.
  auto handed = told != nullptr ? told->recordsOfItsStart() : std::nullopt;
  FolderMemory folders = handed ? std::move(*handed) : FolderMemory(folderMemoryIn(location_.cacheDir));
  if (!handed) folders.load();
  if (told != nullptr) folders.keepNamesOfFilesPassedOver();
  FolderFetch fetch = fetchAssets(location_.root, index_, options, readSettings_, seen, &folders);
  // Those of the folders passed over are known on the watcher's thread: the fetch need not wait for them.
  if (told != nullptr) told->filesPresentIn(folders.foldersPassedOver());
  index_.save(fetch.seen, MetadataIndex::Afterwards::release,
              {folders.filesPassedOver(), [&folders] { return folders.hashesOfFilesPassedOver(); },
               [&] { return folders.stillAsWalked(location_.root); }});
  // After the index: a folder remembered as unchanged lets its files go by what the index knows.
  folders.save();
  return std::move(fetch.result);
}

std::vector<AssetResource> FolderLibrary::assetResourcesForAsset(const Asset& asset) {
  if (asset.locator.empty()) return {};
  const auto slash = asset.locator.rfind('/');
  AssetResource resource;
  resource.type = asset.mediaType == kVideoMediaType ? kVideoResourceType : kPhotoResourceType;
  resource.originalFilename = decodeUtf8Lossy(std::string_view(asset.locator).substr(slash + 1));
  resource.locator = asset.locator;
  if (const auto version = contentVersionOf(location_.root, asset.locator)) {
    resource.contentVersion = version->text;
    resource.changedNanoseconds = version->changedNanoseconds;
    resource.size = version->size;
  }
  return {resource};
}

void FolderLibrary::writeDataForAssetResource(const AssetResource& resource, const std::string& path,
                                              const ResourceRequestOptions& options, WriteCompletion completion) {
  // On the caller's thread, which waits for it anyway: a copy thread of ours
  // could outlive the call and the library itself in a host that unloads it,
  // and any bound on such threads made copies of callers at once fail.
  completion(copyResourceFile(location_.root, resource.locator, path, options.networkAccess));
}

FolderPlace FolderLibrary::placeOfFolder(const std::string& path) { return folderPlace(location_.root, path); }

void FolderLibrary::registerChangeObserver(std::shared_ptr<PhotoLibraryChangeObserver> observer) {
  std::lock_guard lock(observersMutex_);
  observers_.push_back(std::move(observer));
  if (!watcher_) {
    watcher_ = std::make_unique<ChangeWatcher>(
        location_, index_, [this](const Change& change) { deliver(change); },
        [](const std::string& line) { eprint(line); }, ChangeWatcher::Present::toldByFetch);
    watcherAwaitsFiles_ = true;
  }
}

void FolderLibrary::deliver(const Change& change) {
  std::vector<std::shared_ptr<PhotoLibraryChangeObserver>> observers;
  {
    std::lock_guard lock(observersMutex_);
    observers = observers_;
  }
  for (const auto& observer : observers) observer->photoLibraryDidChange(change);
}

}  // namespace shotsieve::folder
