#include "export/export_original.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <semaphore>

#include "export/cached_copy.h"
#include "listing/asset_record.h"

namespace shotsieve {

namespace {

// Shared by the waiting call and the completion, which may come after the
// call has given up and returned; a late completion removes its own ".part".
struct Completion {
  std::counting_semaphore<> signalled{0};
  std::mutex mutex;
  bool completed = false;
  bool abandoned = false;
  std::optional<std::string> error;
  std::string temporaryPath;
};

const AssetResource* chooseResource(const std::vector<AssetResource>& resources) {
  for (const auto& resource : resources) {
    if (resource.type == kPhotoResourceType) return &resource;
  }
  return &resources.front();
}

// Has the library write the resource to `temporary`; true once it is complete
// there. On failure or time-out nothing is left of it.
bool writeTemporaryCopy(PhotoLibrary& library, const AssetResource& resource, const ExportDirectory& dir,
                        const std::string& temporary, NetworkAccess networkAccess, std::chrono::milliseconds timeout) {
  auto completion = std::make_shared<Completion>();
  completion->temporaryPath = dir.pathOf(temporary);
  library.writeDataForAssetResource(resource, completion->temporaryPath, ResourceRequestOptions{networkAccess},
                                    [completion](std::optional<std::string> error) {
                                      std::lock_guard lock(completion->mutex);
                                      completion->completed = true;
                                      completion->error = std::move(error);
                                      if (completion->abandoned) ::unlink(completion->temporaryPath.c_str());
                                      completion->signalled.release();
                                    });
  if (!completion->signalled.try_acquire_for(timeout)) {
    std::lock_guard lock(completion->mutex);
    if (!completion->completed) {
      completion->abandoned = true;
      ::unlinkat(dir.fd(), temporary.c_str(), 0);
      return false;
    }
  }
  // The completion stored the error before signalling, or under the lock just taken.
  if (completion->error) ::unlinkat(dir.fd(), temporary.c_str(), 0);
  return !completion->error;
}

enum class Move { noReplace, replace };

// Moves the finished copy into place in one step; false when it could not be.
bool moveIntoPlace(const ExportDirectory& dir, const std::string& from, const std::string& to, Move move) {
  const int fd = dir.fd();
  if (move == Move::replace) return ::renameat(fd, from.c_str(), fd, to.c_str()) == 0;
  if (::renameat2(fd, from.c_str(), fd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // The file system has no no-replace rename; a hard link fails the same way.
  if (::linkat(fd, from.c_str(), fd, to.c_str(), 0) != 0) return false;
  ::unlinkat(fd, from.c_str(), 0);
  return true;
}

// A fresh copy under `name`, replacing what is there when `move` says so.
bool exportFresh(PhotoLibrary& library, const AssetResource& resource, const ExportDirectory& dir,
                 const std::string& name, Move move, NetworkAccess networkAccess, std::chrono::milliseconds timeout) {
  const std::string temporary = temporaryExportName(name);
  if (!writeTemporaryCopy(library, resource, dir, temporary, networkAccess, timeout)) return false;
  recordCopiedVersion(dir, temporary, resource);
  if (moveIntoPlace(dir, temporary, name, move)) return true;
  // Another run put a copy there meanwhile: keep it if it is as good as ours.
  const bool taken = errno == EEXIST;
  if (taken && inspectCachedCopy(dir, name, resource) == CachedCopy::current) {
    ::unlinkat(dir.fd(), temporary.c_str(), 0);
    return true;
  }
  if (taken && moveIntoPlace(dir, temporary, name, Move::replace)) return true;
  ::unlinkat(dir.fd(), temporary.c_str(), 0);
  return false;
}

}  // namespace

ExportResult exportOriginal(PhotoLibrary& library, const Asset& asset, const ExportDirectory& toDir,
                            NetworkAccess networkAccess, std::chrono::milliseconds timeout) {
  try {
    const auto resources = library.assetResourcesForAsset(asset);
    if (resources.empty()) return {};
    const AssetResource& resource = *chooseResource(resources);
    ExportResult result{std::nullopt, resource.originalFilename};
    if (!toDir.usable()) return result;
    const std::string name = assetUUID(asset) + "." + exportExtension(resource.originalFilename);
    bool inPlace = false;
    switch (inspectCachedCopy(toDir, name, resource)) {
      case CachedCopy::current:
        if (stampAsUsed(toDir, name)) {
          result.path = toDir.pathOf(name);
          return result;
        }
        // Removed since it was looked at (a concurrent prune): made again.
        inPlace = exportFresh(library, resource, toDir, name, Move::noReplace, networkAccess, timeout);
        break;
      case CachedCopy::absent:
        inPlace = exportFresh(library, resource, toDir, name, Move::noReplace, networkAccess, timeout);
        break;
      case CachedCopy::replaceable:
        inPlace = exportFresh(library, resource, toDir, name, Move::replace, networkAccess, timeout);
        break;
      case CachedCopy::blocked:
        break;
    }
    if (inPlace && stampAsUsed(toDir, name)) result.path = toDir.pathOf(name);
    return result;
  } catch (const std::exception&) {
    return {};
  }
}

ExportResult exportOriginal(PhotoLibrary& library, const Asset& asset, const std::string& toDir,
                            NetworkAccess networkAccess, std::chrono::milliseconds timeout) {
  return exportOriginal(library, asset, ExportDirectory::open(toDir), networkAccess, timeout);
}

}  // namespace shotsieve
