#include "photos/folder/watch/change_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "photos/folder/metadata/image_metadata.h"
#include "photos/folder/metadata/image_wholeness.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/folder/watch/backoff.h"
#include "photos/folder/watch/folder_poller.h"
#include "photos/folder/watch/root_presence.h"
#include "photos/cache_tag.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kFolderEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_DELETE |
                                        IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// Folders outside the library: where the root or the user-dirs file may appear.
constexpr std::uint32_t kOutsideEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A burst is gathered into one change for at most this long.
constexpr auto kBurstLimit = 50ms;
// A writer that never closes its file is trusted once the file has stopped
// growing for this long and its data is whole.
constexpr auto kQuietPeriod = 300ms;
constexpr auto kQuietCheck = 100ms;
constexpr auto kGiveUpOnWriter = std::chrono::minutes(10);
// Overflows closer together than this count as one flood, and their rescans back off.
constexpr auto kFloodGap = 2s;

struct Growing {
  std::uint64_t size = 0;
  Clock::time_point lastChange;
  Clock::time_point firstSeen;
};

struct FolderIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FolderIdentity&) const = default;
};

std::optional<FolderIdentity> identityOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FolderIdentity{info.st_dev, info.st_ino};
}

std::string baseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

struct ChangeWatcher::State {
  const LibraryLocation location;
  MetadataIndex& index;
  Deliver deliver;
  int inotifyFd = -1;
  int stopFd = -1;

  std::string configuredRoot;  // as the user-dirs file names it
  std::string root;            // resolved, while the library is there; empty while waiting for it
  std::optional<FolderIdentity> rootIdentity;
  int rootWd = -1;
  std::unordered_map<int, std::string> folders;  // watch descriptor -> relative folder
  std::unordered_set<std::string> watchedFolders;
  std::unordered_set<int> outside;  // watches on folders above the root
  int configWd = -1;
  bool rootCheckDue = false;

  FolderPoller poller;  // folders beyond the watch limit
  Backoff overflowBackoff{20ms, 2000ms};
  std::optional<Clock::time_point> rescanAt;
  Clock::time_point lastRescan{};

  std::unordered_set<std::string> known;             // identifiers already present or delivered
  std::unordered_map<std::string, Growing> growing;  // relative path -> writer still at work
  std::vector<std::string> ready;                    // relative paths complete by their events
  std::thread thread;

  State(LibraryLocation libraryLocation, MetadataIndex& metadataIndex, Deliver deliverChange)
      : location(std::move(libraryLocation)), index(metadataIndex), deliver(std::move(deliverChange)) {}

  std::string join(const std::string& folder, std::string_view name) const {
    return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
  }
  std::string pathOf(const std::string& relative) const { return relative.empty() ? root : root + "/" + relative; }

  // ---- the root and the folders around it -----------------------------------

  void start() {
    configuredRoot = currentLibraryRoot(location);
    if (!location.userDirsFile.empty()) {
      configWd = inotify_add_watch(inotifyFd, parentFolder(location.userDirsFile).c_str(), kOutsideEvents);
    }
    reconcileRoot(false);
  }

  void clearOutside() {
    for (const int wd : outside) {
      if (wd != configWd) inotify_rm_watch(inotifyFd, wd);
    }
    outside.clear();
  }

  void watchOutside(const std::string& folder) {
    const int wd = inotify_add_watch(inotifyFd, folder.c_str(), kOutsideEvents | IN_MASK_ADD);
    if (wd >= 0) outside.insert(wd);
  }

  // Brings the watches in line with where the library is now: attached to a
  // root that is there (its files inserted when `collect`), else waiting for
  // it in the nearest folder above it that exists.
  void reconcileRoot(bool collect) {
    // Looked at again after each watch is armed: what changed before the
    // watch was in place sent no event to it.
    for (int attempt = 0; attempt < 8; ++attempt) {
      const std::string usable = usableLibraryRoot(configuredRoot, location.home);
      if (!root.empty() && usable == root && identityOf(root) == rootIdentity && (rootWd >= 0 || !poller.empty())) {
        return;
      }
      if (!root.empty()) detach();
      clearOutside();
      if (usable.empty()) {
        const std::string ancestor = nearestExistingAncestor(configuredRoot);
        watchOutside(ancestor);
        if (usableLibraryRoot(configuredRoot, location.home).empty() &&
            nearestExistingAncestor(configuredRoot) == ancestor) {
          return;
        }
        continue;
      }
      watchOutside(parentFolder(configuredRoot));  // to notice the root replaced or moved away
      attach(usable, collect);
      return;
    }
  }

  void attach(const std::string& resolvedRoot, bool collect) {
    root = resolvedRoot;
    rootIdentity = identityOf(root);
    watchTree("", collect);
  }

  void detach() {
    for (const auto& [wd, _] : folders) inotify_rm_watch(inotifyFd, wd);
    folders.clear();
    watchedFolders.clear();
    poller = FolderPoller();
    growing.clear();
    ready.clear();
    rescanAt.reset();
    rootWd = -1;
    root.clear();
    rootIdentity.reset();
  }

  // ---- folders inside the library ------------------------------------------

  // Adds the inotify watch of one folder; false (errno set) when there is none to be had.
  bool addFolderWatch(const std::string& relativeFolder) {
    const int wd = inotify_add_watch(inotifyFd, pathOf(relativeFolder).c_str(), kFolderEvents);
    if (wd < 0) return false;
    folders[wd] = relativeFolder;
    watchedFolders.insert(relativeFolder);
    if (relativeFolder.empty()) rootWd = wd;
    return true;
  }

  // Watches one folder, or covers it by polling when inotify has no watch left.
  bool watchFolder(const std::string& relativeFolder) {
    const std::string path = pathOf(relativeFolder);
    if (addFolderWatch(relativeFolder)) return true;
    if (errno == ENOSPC || errno == ENOMEM) poller.add(relativeFolder, path);
    return false;
  }

  // Watches a folder and every folder below it that is not hidden. With
  // `collect`, its asset files become candidates (a folder moved in whole, a
  // root that appeared, a rescan); without, they count as known.
  void watchTree(const std::string& relativeFolder, bool collect) {
    if (!relativeFolder.empty() && holdsCacheTag(relativeFolder)) return;  // a cache, such as an export directory
    watchFolder(relativeFolder);
    walkLibrary(
        pathOf(relativeFolder), std::nullopt,
        [&](const LibraryFile& file) {
          const std::string relative = join(relativeFolder, file.relativePath);
          if (collect) {
            ready.push_back(relative);
          } else if (auto status = statusOfFile(file)) {
            LibraryFile named = file;
            named.relativePath = relative;
            known.insert(identifierOfFile(named, *status));
          }
        },
        [&](const std::string& sub) { watchFolder(join(relativeFolder, sub)); });
  }

  void forgetFolder(const std::string& relativeFolder) {
    for (auto it = folders.begin(); it != folders.end();) {
      const std::string& folder = it->second;
      if (folder == relativeFolder || folder.starts_with(relativeFolder + "/")) {
        inotify_rm_watch(inotifyFd, it->first);
        watchedFolders.erase(folder);
        it = folders.erase(it);
      } else {
        ++it;
      }
    }
    poller.remove(relativeFolder);
  }

  // A watch was freed: folders covered by polling move back to inotify while
  // watches last, each looked through once for what came meanwhile.
  void reclaimWatches() {
    std::vector<std::string> polled;
    for (const auto& [relative, _] : poller.folders()) polled.push_back(relative);
    for (const auto& relative : polled) {
      if (!addFolderWatch(relative)) break;
      poller.forget(relative);
      lookThrough(relative);
    }
  }

  // One folder's entries: new folders are watched, files not known yet are
  // checked like a writer that did not close (polling sees no close).
  void lookThrough(const std::string& relativeFolder) {
    DIR* dir = ::opendir(pathOf(relativeFolder).c_str());
    if (dir == nullptr) {
      poller.remove(relativeFolder);  // gone
      return;
    }
    std::vector<std::pair<std::string, bool>> entries;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      entries.emplace_back(entry->d_name, entry->d_type == DT_DIR);
    }
    ::closedir(dir);
    const auto now = Clock::now();
    for (const auto& [name, isFolder] : entries) {
      const std::string relative = join(relativeFolder, name);
      if (isFolder) {
        if (!watchedFolders.contains(relative) && !poller.folders().contains(relative)) watchTree(relative, true);
        continue;
      }
      const auto file = libraryFileAt(root, relative);
      if (!file || growing.contains(relative)) continue;
      const auto status = statusOfFile(*file);
      if (!status || !status->regular || known.contains(identifierOfFile(*file, *status))) continue;
      growing[relative] = Growing{status->stamp.size, now - kQuietPeriod, now};
    }
  }

  // ---- events ----------------------------------------------------------------

  void scheduleRescan() {
    if (rescanAt) return;  // one rescan makes up for every overflow before it
    const auto now = Clock::now();
    if (now - lastRescan < kFloodGap) {
      overflowBackoff.lengthen();
    } else {
      overflowBackoff.reset();
    }
    rescanAt = now + overflowBackoff.current();
  }

  void rescan() {
    rescanAt.reset();
    lastRescan = Clock::now();
    if (!root.empty()) watchTree("", true);
  }

  void handleOutside(const inotify_event& event) {
    if (event.wd == configWd && event.len > 0 && baseName(location.userDirsFile) == event.name) {
      const std::string moved = currentLibraryRoot(location);
      if (moved != configuredRoot) {
        configuredRoot = moved;
        if (!root.empty()) detach();
      }
      rootCheckDue = true;
    }
    if (outside.contains(event.wd)) rootCheckDue = true;
  }

  void handle(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {  // events were lost: look at everything again, soon
      scheduleRescan();
      rootCheckDue = true;
      return;
    }
    if (event.wd == configWd || outside.contains(event.wd)) {
      handleOutside(event);
      if (!folders.contains(event.wd)) return;
    }
    const auto folder = folders.find(event.wd);
    if (folder == folders.end()) return;
    if (event.mask & IN_IGNORED) {
      if (event.wd == rootWd) {
        rootWd = -1;
        rootCheckDue = true;
      }
      watchedFolders.erase(folder->second);
      folders.erase(folder);
      reclaimWatches();
      return;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
      if (event.wd == rootWd) rootCheckDue = true;  // the library went away: wait for it again
      return;
    }
    if (event.len == 0 || event.name[0] == '.') return;
    const std::string relative = join(folder->second, event.name);
    if (event.mask & IN_ISDIR) {
      if (event.mask & (IN_CREATE | IN_MOVED_TO)) watchTree(relative, true);
      if (event.mask & (IN_MOVED_FROM | IN_DELETE)) forgetFolder(relative);
      return;
    }
    if (kCacheTagName == event.name) {
      // The folder has become a cache (an export directory): nothing in it is a picture.
      const std::string tagged = folder->second;
      if ((event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) && !tagged.empty() && holdsCacheTag(tagged)) forgetTree(tagged);
      return;
    }
    if (!mediaTypeOfName(event.name)) return;
    if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
      growing.erase(relative);
      ready.push_back(relative);
    } else if ((event.mask & IN_CREATE) && isLink(relative)) {
      ready.push_back(relative);  // a link is complete once made
    } else if (event.mask & (IN_CREATE | IN_MODIFY)) {
      auto& writer = growing[relative];
      const auto now = Clock::now();
      if (writer.firstSeen == Clock::time_point{}) writer.firstSeen = now;
      writer.lastChange = now;
    } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
      growing.erase(relative);
    }
  }

  bool holdsCacheTag(const std::string& relativeFolder) const {
    const UniqueFd fd(::open(pathOf(relativeFolder).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return fd && hasCacheTag(fd.get());
  }

  // Stops watching a folder and everything below it, with the files in it that were waited for.
  void forgetTree(const std::string& relativeFolder) {
    forgetFolder(relativeFolder);
    const auto below = [&](const std::string& path) { return path.starts_with(relativeFolder + "/"); };
    std::erase_if(growing, [&](const auto& writer) { return below(writer.first); });
    std::erase_if(ready, below);
  }

  bool isLink(const std::string& relative) const {
    struct stat info;
    return ::lstat(pathOf(relative).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  }

  // Files whose writer went quiet without closing and whose data is whole.
  void collectQuietWriters() {
    const auto now = Clock::now();
    for (auto it = growing.begin(); it != growing.end();) {
      Growing& writer = it->second;
      const auto status = statusOfFile(pathOf(it->first));
      if (!status || now - writer.firstSeen > kGiveUpOnWriter) {
        it = growing.erase(it);
        continue;
      }
      if (status->stamp.size != writer.size) {
        writer.size = status->stamp.size;
        writer.lastChange = now;
      }
      if (now - writer.lastChange >= kQuietPeriod && imageDataLooksWhole(pathOf(it->first))) {
        ready.push_back(it->first);
        it = growing.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Builds the change from the complete candidates, each asset at most once.
  Change takeReady() {
    Change change;
    std::sort(ready.begin(), ready.end());
    ready.erase(std::unique(ready.begin(), ready.end()), ready.end());
    for (const auto& relative : ready) {
      const auto file = libraryFileAt(root, relative);
      if (!file) continue;
      const auto status = statusOfFile(*file);
      if (!status || !status->regular) continue;  // gone before it could be read
      const std::string identifier = identifierOfFile(*file, *status);
      if (known.contains(identifier)) continue;
      ImageFacts facts;
      auto asset = assetOfFile(*file, *status, index, &facts);
      if (!asset) continue;  // not what its name says
      // A corrupt or unfinished image is not an asset yet; a later event may complete it.
      if (file->mediaType == kImageMediaType && (!facts.headerRead || !imageDataLooksWhole(file->contentPath))) {
        continue;
      }
      known.insert(identifier);
      change.inserted.push_back(std::move(*asset));
    }
    ready.clear();
    std::stable_sort(change.inserted.begin(), change.inserted.end(),
                     [](const Asset& a, const Asset& b) { return a.creationDate < b.creationDate; });
    return change;
  }

  // ---- the loop ---------------------------------------------------------------

  // Reads what is queued, a bounded amount at a time so a flood cannot hold the loop.
  void drain() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (int reads = 0; reads < 64; ++reads) {
      const ssize_t got = ::read(inotifyFd, buffer, sizeof buffer);
      if (got <= 0) return;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        handle(*event);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  bool eventsWaiting() {
    pollfd fds[1] = {{inotifyFd, POLLIN, 0}};
    return ::poll(fds, 1, 0) > 0;
  }

  // Milliseconds until the next thing that is due by time; -1 for none.
  int timeout() const {
    auto next = poller.nextLook();
    if (!growing.empty()) next = std::min(next, Clock::now() + kQuietCheck);
    if (rescanAt) next = std::min(next, *rescanAt);
    if (next == Clock::time_point::max()) return -1;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(wait + 1, 0, 60000));
  }

  // False when the watcher is to stop.
  bool waitFor(int timeoutMs) {
    pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int result = ::poll(fds, 2, timeoutMs);
    return !(result > 0 && (fds[1].revents & POLLIN));
  }

  void run() {
    for (;;) {
      // Sleeps in the kernel until something happens or something is due.
      if (!waitFor(timeout())) return;
      drain();
      // A complete file goes out at once; only events that keep coming are gathered.
      const auto started = Clock::now();
      while (Clock::now() - started < kBurstLimit && eventsWaiting()) drain();
      if (rootCheckDue) {
        rootCheckDue = false;
        reconcileRoot(true);
      }
      const auto now = Clock::now();
      if (rescanAt && now >= *rescanAt) rescan();
      if (!root.empty()) {
        for (const auto& relative : poller.look(root, now)) lookThrough(relative);
      }
      if (!growing.empty()) collectQuietWriters();
      if (ready.empty()) continue;
      Change change = takeReady();
      if (!change.inserted.empty()) deliver(change);
    }
  }
};

ChangeWatcher::ChangeWatcher(LibraryLocation location, MetadataIndex& index, Deliver deliver)
    : state_(std::make_unique<State>(std::move(location), index, std::move(deliver))) {
  state_->inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  state_->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->inotifyFd >= 0) state_->start();
  state_->thread = std::thread([state = state_.get()] {
    if (state->inotifyFd >= 0 && state->stopFd >= 0) state->run();
  });
}

ChangeWatcher::~ChangeWatcher() {
  const std::uint64_t one = 1;
  if (state_->stopFd >= 0) (void)!::write(state_->stopFd, &one, sizeof one);
  state_->thread.join();
  if (state_->inotifyFd >= 0) ::close(state_->inotifyFd);
  if (state_->stopFd >= 0) ::close(state_->stopFd);
}

}  // namespace shotsieve::folder
