#include "photos/folder/watch/root_follower.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

#include "photos/folder/scan/link_target.h"

namespace shotsieve::folder {

namespace {

constexpr std::uint32_t kAroundEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_CLOSE_WRITE |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr auto kLookEvery = std::chrono::seconds(1);
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U  // Linux 6.8: an identifier never given to another mount
#endif

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Refused, not merely failed: where a confined process's reach ends.
bool openingRefused(const std::string& path, int flags) {
  const UniqueFd opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags));
  return !opened && errno == EACCES;
}

// The nearest folder above a path that exists; "/" at the last.
std::string nearestExistingAncestor(const std::string& path) {
  std::string folder = parentFolder(path);
  while (folder != "/" && !isFolder(folder)) folder = parentFolder(folder);
  return folder;
}

}  // namespace

std::string parentFolder(const std::string& path) {
  const auto slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

RootFollower::RootFollower(LibraryLocation location, InotifyInstance* inotify)
    : location_(std::move(location)),
      inotify_(inotify),
      mounts_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}

void RootFollower::rearm(const std::string& configuredRoot) {
  if (inotify_ == nullptr) return;
  for (const auto& watch : watches_) inotify_->remove(watch.descriptor);
  watches_.clear();
  const auto watch = [&](const std::string& folder, std::uint32_t extra, std::string name) {
    // Added to what the library's own watch on the folder asks for, if any.
    const int added = inotify_->addPath(folder, kAroundEvents | extra | IN_MASK_ADD);
    if (added >= 0) watches_.push_back(Watch{added, std::move(name)});
  };
  // Every folder on the way, as named (a link on the way is seen replaced in
  // the folder that holds it) and as resolved (where the root will appear).
  // Only the entry on the way matters in each: a busy home folder stays quiet.
  std::vector<std::string> ways{configuredRoot};
  if (!location_.userDirsFile.empty()) ways.push_back(location_.userDirsFile);
  for (const auto& path : ways) {
    std::string below = path;
    for (std::string folder = parentFolder(path);; below = folder, folder = parentFolder(folder)) {
      watch(folder, IN_DONT_FOLLOW, below.substr(below.rfind('/') + 1));
      if (folder == "/") break;
    }
    const std::string ancestor = nearestExistingAncestor(path);
    const std::string resolved = resolvedLibraryRoot(ancestor);
    if (resolved.empty() || resolved == ancestor) continue;  // watched above, as named
    watch(resolved, 0, "");
  }
}

RootFollower::Place RootFollower::locate() {
  Place place;
  // Looked at again after each arming: what changed before a watch was in
  // place sent no event to it.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string configured = currentLibraryRoot(location_);
    rearm(configured);
    Place now;
    struct statx info;
    if (!configured.empty() && isFolder(configured)) {
      now.root = resolvedLibraryRoot(configured);
      if (!now.root.empty() &&
          ::statx(AT_FDCWD, now.root.c_str(), 0, STATX_INO | STATX_MNT_ID | STATX_MNT_ID_UNIQUE, &info) == 0) {
        now.device = makedev(info.stx_dev_major, info.stx_dev_minor);
        now.inode = info.stx_ino;
        if (info.stx_mask & (STATX_MNT_ID | STATX_MNT_ID_UNIQUE)) now.mount = info.stx_mnt_id;
      } else {
        now = Place{};
      }
    }
    if (attempt > 0 && now == place && currentLibraryRoot(location_) == configured) return now;
    place = now;
  }
  return place;
}

bool RootFollower::settingsOutOfReach() const {
  return !location_.userDirsFile.empty() && openingRefused(location_.userDirsFile, 0);
}

bool RootFollower::outOfReach(const Place& place) { return !place.root.empty() && openingRefused(place.root, O_DIRECTORY); }

RootFollower::Around RootFollower::handle(const inotify_event& event) const {
  // Events were lost (the queue overflowed, as a small fs.inotify.max_queued_events
  // makes it do): the user-dirs file or the root may have moved among them.
  if (event.mask & IN_Q_OVERFLOW) return Around::rootMayHaveMoved;
  // One folder may be on the way to both the root and the user-dirs file:
  // a watch, with a name that matters for each.
  Around around = Around::notOurs;
  for (const auto& watch : watches_) {
    if (watch.descriptor != event.wd) continue;
    if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) || watch.name.empty() ||
        (event.len > 0 && watch.name == event.name)) {
      return Around::rootMayHaveMoved;
    }
    around = Around::unimportant;
  }
  return around;
}

RootFollower::Clock::time_point RootFollower::nextDue() const {
  return inotify_ == nullptr ? nextLook_ : Clock::time_point::max();
}

void RootFollower::lookedAt(Clock::time_point now) { nextLook_ = now + kLookEvery; }

}  // namespace shotsieve::folder
