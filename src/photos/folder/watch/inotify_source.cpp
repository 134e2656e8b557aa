#include "photos/folder/watch/inotify_source.h"

#include <cerrno>
#include <utility>

#include "photos/cache_tag.h"
#include "photos/folder/scan/library_scan.h"

namespace shotsieve::folder {

namespace {

constexpr std::uint32_t kEntryEvents =
    IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Events of a folder's files as well: the kernel marks each file of the folder for them.
constexpr std::uint32_t kFolderEvents = kEntryEvents | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB;

std::string joined(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}

bool below(const std::string& path, const std::string& folder) {
  return folder.empty() || path == folder || path.starts_with(folder + "/");
}

}  // namespace

bool InotifySource::add(const std::string& relativeFolder, int folderFd) {
  // Added to what a watch around the root asks of the same folder, if any.
  const int watch = instance_.addFolder(folderFd, kFolderEvents | IN_MASK_ADD);
  if (watch < 0) return false;
  track(relativeFolder, watch) = Watched{relativeFolder};
  return true;
}

bool InotifySource::addQuiet(const std::string& relativeFolder, int folderFd) {
  const int watch = instance_.addFolder(folderFd, kEntryEvents | IN_MASK_ADD);
  if (watch < 0) return false;
  const bool fresh = !folders_.contains(watch);  // a watch that is whole stays whole
  Watched& watched = track(relativeFolder, watch);
  if (fresh) watched.quiet = true;
  return true;
}

InotifySource::Watched& InotifySource::track(const std::string& relativeFolder, int watch) {
  // A folder watched again (a rescan) keeps its watch; one that replaced another takes it over.
  if (const auto old = watches_.find(relativeFolder); old != watches_.end() && old->second != watch) {
    folders_.erase(old->second);
  }
  watches_[relativeFolder] = watch;
  Watched& watched = folders_[watch];
  watched.folder = relativeFolder;
  return watched;
}

std::vector<std::string> InotifySource::quietFolders() const {
  std::vector<std::string> folders;
  for (const auto& [watch, watched] : folders_) {
    if (watched.quiet) folders.push_back(watched.folder);
  }
  return folders;
}

void InotifySource::dropWatch(int watch) {
  const auto watched = folders_.find(watch);
  if (watched == folders_.end()) return;
  watches_.erase(watched->second.folder);
  folders_.erase(watched);
}

void InotifySource::remove(const std::string& relativeFolder) {
  for (auto it = watches_.lower_bound(relativeFolder); it != watches_.end() && below(it->first, relativeFolder);) {
    instance_.remove(it->second);
    folders_.erase(it->second);
    it = watches_.erase(it);
  }
}

void InotifySource::clear() {
  for (const auto& [watch, _] : folders_) instance_.remove(watch);
  folders_.clear();
  watches_.clear();
}

bool InotifySource::handle(const inotify_event& event) {
  using Kind = FolderEvent::Kind;
  if (event.mask & IN_Q_OVERFLOW) {  // events were lost, the folders' among them
    pending_.push_back({Kind::lookAgain, {}});
    return false;  // the other watches of the instance lost theirs too
  }
  const auto found = folders_.find(event.wd);
  if (found == folders_.end()) return false;
  Watched& watched = found->second;
  const std::string folder = watched.folder;
  if (event.mask & IN_IGNORED) {  // removed, or its file system unmounted
    dropWatch(event.wd);
    pending_.push_back({folder.empty() ? Kind::rootChanged : Kind::folderAppeared, folder});
    return true;
  }
  if (event.mask & IN_UNMOUNT) return true;  // IN_IGNORED follows
  if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
    if (folder.empty()) pending_.push_back({Kind::rootChanged, {}});  // below the root, the parent tells
    return true;
  }
  if (event.len == 0 || walkSkipsName(event.name)) return true;
  const std::string path = joined(folder, event.name);
  // A quiet folder hears no close, mode change or growth of its files: once
  // an entry comes, it is to be watched whole, and a file that came is
  // looked at now, its close perhaps unheard.
  const bool quiet = watched.quiet && (event.mask & (IN_CREATE | IN_MOVED_TO));
  if (quiet && !std::exchange(watched.stirred, true)) pending_.push_back({Kind::quietFolderStirred, folder});
  if (event.mask & IN_ISDIR) {
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) pending_.push_back({Kind::folderAppeared, path});
    if (event.mask & (IN_DELETE | IN_MOVED_FROM)) pending_.push_back({Kind::folderGone, path});
    // A folder that could not be opened may open now; one covered already needs nothing.
    if ((event.mask & IN_ATTRIB) && !watches_.contains(path)) pending_.push_back({Kind::folderAppeared, path});
    return true;
  }
  if (kCacheTagName == event.name) {
    if (quiet || (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO))) pending_.push_back({Kind::cacheTagWritten, folder});
  } else if (quiet || (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO))) {
    pending_.push_back({Kind::fileWritten, path});
  } else if (event.mask & IN_CREATE) {
    pending_.push_back({Kind::fileChanging, path});
  } else if (event.mask & IN_MODIFY) {
    pending_.push_back({Kind::fileGrowing, path});
  } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
    pending_.push_back({Kind::fileGone, path});
  } else if (event.mask & IN_ATTRIB) {
    pending_.push_back({Kind::accessChanged, path});
  }
  return true;
}

void InotifySource::collect(Clock::time_point, std::vector<FolderEvent>& events) {
  events.insert(events.end(), std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
  pending_.clear();
}

}  // namespace shotsieve::folder
