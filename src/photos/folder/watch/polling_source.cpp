#include "photos/folder/watch/polling_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "photos/folder/scan/library_scan.h"
#include "photos/folder/watch/backoff.h"
#include "photos/folder_entries.h"
#include "photos/no_link_open.h"

namespace shotsieve::folder {

namespace {

struct Entry {
  ino_t inode = 0;
  bool folder = false;
  bool operator==(const Entry&) const = default;
};
using Listing = std::map<std::string, Entry>;

bool below(const std::string& path, const std::string& folder) {
  return folder.empty() || path == folder || path.starts_with(folder + "/");
}

std::string joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// The entries of an open folder that are not hidden; nothing when it cannot be read.
std::optional<Listing> listEntries(int folderFd) {
  Listing entries;
  const bool read = forEachFolderEntry(folderFd, [&](const FolderEntry& entry) {
    if (walkSkipsName(entry.name)) return true;
    bool isFolder = entry.type == DT_DIR;
    if (entry.type == DT_UNKNOWN) {
      struct stat info;
      isFolder = ::fstatat(folderFd, std::string(entry.name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISDIR(info.st_mode);
    }
    entries[std::string(entry.name)] = Entry{entry.inode, isFolder};
    return true;
  });
  if (!read) return std::nullopt;
  return entries;
}

// The same for a folder reached from the root without following a link.
std::optional<Listing> listing(const std::string& root, const std::string& relativeFolder) {
  UniqueFd folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder && !relativeFolder.empty()) folder = openBeneath(folder.get(), relativeFolder, O_RDONLY | O_DIRECTORY);
  if (!folder) return std::nullopt;
  return listEntries(folder.get());
}

}  // namespace

struct PollingSource::State {
  std::string root;
  UniqueFd wake;  // readable while events wait for collect()
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, std::optional<Listing>> folders;  // covered folder -> its last listing
  std::vector<FolderEvent> pending;
  bool stopping = false;
  bool stopped = false;
  Backoff backoff{kFirstLook, kLongestWait};

  // Compares one folder with its last listing; the events go to `out`.
  static void compare(const std::string& folder, const Listing& before, const Listing& now,
                      std::vector<FolderEvent>& out) {
    using Kind = FolderEvent::Kind;
    for (const auto& [name, entry] : now) {
      const auto old = before.find(name);
      if (old != before.end() && old->second == entry) continue;
      if (old != before.end()) out.push_back({old->second.folder ? Kind::folderGone : Kind::fileGone, joined(folder, name)});
      out.push_back({entry.folder ? Kind::folderAppeared : Kind::fileChanging, joined(folder, name)});
    }
    for (const auto& [name, entry] : before) {
      if (!now.contains(name)) out.push_back({entry.folder ? Kind::folderGone : Kind::fileGone, joined(folder, name)});
    }
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait_for(lock, backoff.current(), [&] { return stopping; });
      if (stopping) break;
      std::vector<std::string> names;
      for (const auto& [folder, _] : folders) names.push_back(folder);
      lock.unlock();
      // Looked at without the lock: a folder on a dead mount may take long.
      std::vector<std::pair<std::string, std::optional<Listing>>> looks;
      for (const auto& folder : names) looks.emplace_back(folder, listing(root, folder));
      lock.lock();
      std::vector<FolderEvent> found;
      for (auto& [folder, now] : looks) {
        const auto covered = folders.find(folder);
        if (covered == folders.end()) continue;  // let go of meanwhile
        if (!now) {
          folders.erase(covered);
          found.push_back({FolderEvent::Kind::folderGone, folder});
          continue;
        }
        if (covered->second) compare(folder, *covered->second, *now, found);
        covered->second = std::move(now);
      }
      if (found.empty()) {
        backoff.lengthen();
        continue;
      }
      backoff.reset();
      pending.insert(pending.end(), found.begin(), found.end());
      const std::uint64_t one = 1;
      (void)!::write(wake.get(), &one, sizeof one);
    }
    stopped = true;
    changed.notify_all();
  }
};

PollingSource::PollingSource(std::string resolvedRoot) : state_(std::make_shared<State>()) {
  state_->root = std::move(resolvedRoot);
  state_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  std::thread([state = state_] { state->run(); }).detach();
}

PollingSource::~PollingSource() {
  std::unique_lock lock(state_->mutex);
  state_->stopping = true;
  state_->changed.notify_all();
  // A look stuck in a dead mount is not waited for: the thread holds its own share of the state.
  state_->changed.wait_for(lock, std::chrono::seconds(2), [&] { return state_->stopped; });
}

bool PollingSource::add(const std::string& relativeFolder, int folderFd) {
  // What is there now is the starting point, listed before the caller looks
  // through the folder itself: whatever comes after the listing is seen by one
  // of the two.
  auto now = listEntries(folderFd);
  std::lock_guard lock(state_->mutex);
  if (!state_->folders.contains(relativeFolder)) {
    state_->folders[relativeFolder] = std::move(now);
    state_->backoff.reset();
  }
  return true;
}

void PollingSource::remove(const std::string& relativeFolder) {
  std::lock_guard lock(state_->mutex);
  for (auto it = state_->folders.lower_bound(relativeFolder); it != state_->folders.end() && below(it->first, relativeFolder);) {
    it = state_->folders.erase(it);
  }
}

void PollingSource::clear() {
  std::lock_guard lock(state_->mutex);
  state_->folders.clear();
  state_->pending.clear();
}

bool PollingSource::covers(const std::string& relativeFolder) const {
  std::lock_guard lock(state_->mutex);
  return state_->folders.contains(relativeFolder);
}

int PollingSource::descriptor() const { return state_->wake.get(); }

void PollingSource::collect(Clock::time_point, std::vector<FolderEvent>& events) {
  std::lock_guard lock(state_->mutex);
  events.insert(events.end(), state_->pending.begin(), state_->pending.end());
  state_->pending.clear();
}

}  // namespace shotsieve::folder
