#include "export/export_original.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>
#include <semaphore>

#include "listing/asset_record.h"
#include "output/text_case.h"

namespace shotsieve {

namespace {

// Shared by the waiting call and the completion, which may come after the
// call has given up and returned.
struct Completion {
  std::counting_semaphore<> done{0};
  std::optional<std::string> error;
};

const AssetResource* chooseResource(const std::vector<AssetResource>& resources) {
  for (const auto& resource : resources) {
    if (resource.type == kPhotoResourceType) return &resource;
  }
  return &resources.front();
}

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// Stamps the entry (a link itself, not its target) as used now; failure is harmless.
void touch(const std::string& path) {
  const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// A temporary name no other writer uses: the destination, a unique part, ".part".
std::string temporaryPath(const std::string& destination) {
  static std::atomic<unsigned> counter{0};
  // A fresh draw per name: no per-thread state in a library that hosts load
  // with dlopen, where thread-local storage is allocated behind the loader's back.
  char unique[64];
  std::snprintf(unique, sizeof unique, ".%d-%u-%08x.part", static_cast<int>(::getpid()), counter++,
                static_cast<unsigned>(std::random_device{}()));
  return destination + unique;
}

enum class MoveOutcome { moved, alreadyThere, failed };

// Moves without ever replacing what is at the destination.
MoveOutcome moveIntoPlace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return MoveOutcome::moved;
  if (errno == EEXIST) return MoveOutcome::alreadyThere;
  if (errno != EINVAL && errno != ENOSYS) return MoveOutcome::failed;
  // The file system has no no-replace rename; a hard link fails the same way.
  if (::link(from.c_str(), to.c_str()) != 0) return errno == EEXIST ? MoveOutcome::alreadyThere : MoveOutcome::failed;
  ::unlink(from.c_str());
  return MoveOutcome::moved;
}

}  // namespace

std::string exportExtension(std::string_view originalFilename) {
  const auto slash = originalFilename.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? originalFilename : originalFilename.substr(slash + 1);
  const auto dot = name.rfind('.');
  const std::string extension = dot == std::string_view::npos ? std::string() : lowercaseFull(name.substr(dot + 1));
  return extension.empty() ? "png" : extension;
}

ExportResult exportOriginal(PhotoLibrary& library, const Asset& asset, const std::string& toDir,
                            NetworkAccess networkAccess, std::chrono::milliseconds timeout) {
  try {
    const auto resources = library.assetResourcesForAsset(asset);
    if (resources.empty()) return {};
    const AssetResource& resource = *chooseResource(resources);
    ExportResult result{std::nullopt, resource.originalFilename};
    // An empty directory would put the file at the root of the file system.
    if (toDir.empty()) return result;
    const std::string destination = toDir + "/" + assetUUID(asset) + "." + exportExtension(resource.originalFilename);
    if (exists(destination)) {
      touch(destination);
      result.path = destination;
      return result;
    }
    const std::string temporary = temporaryPath(destination);
    auto completion = std::make_shared<Completion>();
    library.writeDataForAssetResource(resource, temporary, ResourceRequestOptions{networkAccess},
                                      [completion](std::optional<std::string> error) {
                                        completion->error = std::move(error);
                                        completion->done.release();
                                      });
    if (!completion->done.try_acquire_for(timeout) || completion->error) {
      ::unlink(temporary.c_str());
      return result;
    }
    switch (moveIntoPlace(temporary, destination)) {
      case MoveOutcome::alreadyThere:  // another run put the same original there meanwhile
        ::unlink(temporary.c_str());
        [[fallthrough]];
      case MoveOutcome::moved:
        touch(destination);
        result.path = destination;
        return result;
      case MoveOutcome::failed:
        ::unlink(temporary.c_str());
        return result;
    }
    return result;
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace shotsieve
