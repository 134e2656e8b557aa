#include "photos/folder/watch/change_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "photos/folder/metadata/image_metadata.h"
#include "photos/folder/metadata/image_wholeness.h"
#include "photos/folder/scan/link_target.h"
#include "photos/folder/scan/library_scan.h"

namespace shotsieve::folder {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kDirectoryEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_DELETE |
                                           IN_MOVED_FROM | IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// Events that arrive this close together are delivered as one change.
constexpr auto kCoalesceWindow = std::chrono::milliseconds(5);
constexpr auto kCoalesceLimit = std::chrono::milliseconds(50);
// A writer that never closes its file is trusted once the file has stopped
// growing for this long and its data is whole.
constexpr auto kQuietPeriod = std::chrono::milliseconds(300);
constexpr auto kGiveUpOnWriter = std::chrono::minutes(10);

struct Growing {
  std::uint64_t size = 0;
  Clock::time_point lastChange;
  Clock::time_point firstSeen;
};

}  // namespace

struct ChangeWatcher::State {
  std::string root;
  MetadataIndex& index;
  Deliver deliver;
  int inotifyFd = -1;
  int stopFd = -1;
  std::unordered_map<int, std::string> folders;     // watch descriptor -> relative folder
  std::unordered_set<std::string> known;           // identifiers already present or delivered
  std::unordered_map<std::string, Growing> growing;  // relative path -> writer still at work
  std::vector<std::string> ready;                  // relative paths complete by their events
  std::thread thread;

  State(std::string rootPath, MetadataIndex& metadataIndex, Deliver deliverChange)
      : root(resolvedLibraryRoot(rootPath)), index(metadataIndex), deliver(std::move(deliverChange)) {}

  std::string join(const std::string& folder, std::string_view name) const {
    return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
  }

  // Watches a folder and, below it, every folder that is not hidden. With
  // `collect`, its asset files become candidates (a folder moved in whole, or
  // files written before its watch was in place).
  void watchTree(const std::string& relativeFolder, bool collect) {
    const std::string path = relativeFolder.empty() ? root : root + "/" + relativeFolder;
    const int wd = inotify_add_watch(inotifyFd, path.c_str(), kDirectoryEvents);
    if (wd < 0) return;
    folders[wd] = relativeFolder;
    walkLibraryFolders(relativeFolder, collect);
  }

  void walkLibraryFolders(const std::string& relativeFolder, bool collect) {
    const std::string path = relativeFolder.empty() ? root : root + "/" + relativeFolder;
    walkLibrary(path, std::nullopt, [&](const LibraryFile& file) {
      const std::string relative = join(relativeFolder, file.relativePath);
      if (collect) {
        ready.push_back(relative);
      } else if (auto status = statusOfFile(file)) {
        known.insert(identifierOfFile(LibraryFile{relative, file.absolutePath, file.contentPath, file.mediaType}, *status));
      }
    });
    addFolderWatches(path, relativeFolder, 0);
  }

  // Adds watches for every folder below `path` (files are handled by the walk).
  void addFolderWatches(const std::string& path, const std::string& relativeFolder, int depth) {
    if (depth >= 64) return;  // as deep as the walk goes
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      ::close(fd);
      return;
    }
    std::vector<std::string> children;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
      children.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const auto& name : children) {
      const std::string childPath = path + "/" + name;
      const int wd = inotify_add_watch(inotifyFd, childPath.c_str(), kDirectoryEvents);
      if (wd < 0) continue;  // not a folder, a link to one, or out of watches
      folders[wd] = join(relativeFolder, name);
      addFolderWatches(childPath, folders[wd], depth + 1);
    }
  }

  void forgetFolder(const std::string& relativeFolder) {
    for (auto it = folders.begin(); it != folders.end();) {
      const std::string& folder = it->second;
      if (folder == relativeFolder || folder.starts_with(relativeFolder + "/")) {
        inotify_rm_watch(inotifyFd, it->first);
        it = folders.erase(it);
      } else {
        ++it;
      }
    }
  }

  void handle(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {  // events were lost: look at everything again
      watchTree("", true);
      return;
    }
    const auto folder = folders.find(event.wd);
    if (folder == folders.end()) return;
    if (event.mask & (IN_IGNORED | IN_DELETE_SELF)) {
      if (event.mask & IN_IGNORED) folders.erase(folder);
      return;
    }
    if (event.len == 0 || event.name[0] == '.') return;
    const std::string relative = join(folder->second, event.name);
    if (event.mask & IN_ISDIR) {
      if (event.mask & (IN_CREATE | IN_MOVED_TO)) watchTree(relative, true);
      if (event.mask & IN_MOVED_FROM) forgetFolder(relative);
      return;
    }
    if (!mediaTypeOfName(event.name)) return;
    if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
      growing.erase(relative);
      ready.push_back(relative);
    } else if (event.mask & (IN_CREATE | IN_MODIFY)) {
      auto& writer = growing[relative];
      const auto now = Clock::now();
      if (writer.firstSeen == Clock::time_point{}) writer.firstSeen = now;
      writer.lastChange = now;
    } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
      growing.erase(relative);
    }
  }

  // Files whose writer went quiet without closing and whose data is whole.
  void collectQuietWriters() {
    const auto now = Clock::now();
    for (auto it = growing.begin(); it != growing.end();) {
      Growing& writer = it->second;
      const auto status = statusOfFile(root + "/" + it->first);
      if (!status || now - writer.firstSeen > kGiveUpOnWriter) {
        it = growing.erase(it);
        continue;
      }
      if (status->stamp.size != writer.size) {
        writer.size = status->stamp.size;
        writer.lastChange = now;
      }
      if (now - writer.lastChange >= kQuietPeriod && imageDataLooksWhole(root + "/" + it->first)) {
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

  // Reads what is queued; false when the watcher is to stop.
  bool drain() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      const ssize_t got = ::read(inotifyFd, buffer, sizeof buffer);
      if (got <= 0) return true;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        handle(*event);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  bool waitFor(int timeoutMs) {
    pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int result = ::poll(fds, 2, timeoutMs);
    if (result > 0 && (fds[1].revents & POLLIN)) return false;
    return true;
  }

  void run() {
    for (;;) {
      // Sleep in the kernel until something happens; wake up only to check on
      // writers that have not closed their files.
      const int timeout = growing.empty() ? -1 : 100;
      if (!waitFor(timeout)) return;
      drain();
      collectQuietWriters();
      if (ready.empty()) continue;
      const auto started = Clock::now();
      while (Clock::now() - started < kCoalesceLimit) {
        pollfd fds[1] = {{inotifyFd, POLLIN, 0}};
        const auto window = std::chrono::duration_cast<std::chrono::milliseconds>(kCoalesceWindow).count();
        if (::poll(fds, 1, static_cast<int>(window)) <= 0) break;
        drain();
      }
      Change change = takeReady();
      if (!change.inserted.empty()) deliver(change);
    }
  }
};

ChangeWatcher::ChangeWatcher(std::string root, MetadataIndex& index, Deliver deliver)
    : state_(std::make_unique<State>(std::move(root), index, std::move(deliver))) {
  state_->inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  state_->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->inotifyFd >= 0) state_->watchTree("", false);
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
