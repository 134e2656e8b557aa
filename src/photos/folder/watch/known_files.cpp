#include "photos/folder/watch/known_files.h"

#include <unistd.h>

#include <iterator>

#include "photos/folder/scan/file_status.h"

namespace shotsieve::folder {

void KnownFiles::add(const std::string& relativePath, const FileKey& key) {
  const auto [at, added] = paths_.try_emplace(relativePath, key);
  if (!added) {
    if (at->second == key) return;
    drop(at->second);
    at->second = key;
  }
  ++present_[key];
}

void KnownFiles::drop(const FileKey& key) {
  const auto found = present_.find(key);
  if (found != present_.end() && --found->second <= 0) present_.erase(found);
}

bool KnownFiles::contains(const FileKey& key) const { return present_.contains(key) || departedKeys_.contains(key); }

void KnownFiles::depart(std::string path, const FileKey& key, Clock::time_point now) {
  departed_.push_back(Departure{std::move(path), key, now});
  ++departedKeys_[key];
  drop(key);
}

void KnownFiles::left(const std::string& relativePath, Clock::time_point now) {
  const auto found = paths_.find(relativePath);
  if (found == paths_.end()) return;
  depart(found->first, found->second, now);
  paths_.erase(found);
}

void KnownFiles::leftBelow(const std::string& relativeFolder, Clock::time_point now) {
  const std::string prefix = relativeFolder.empty() ? "" : relativeFolder + "/";
  for (auto it = paths_.lower_bound(prefix); it != paths_.end() && it->first.starts_with(prefix);) {
    depart(it->first, it->second, now);
    it = paths_.erase(it);
  }
}

void KnownFiles::leftExcept(const std::unordered_set<std::string>& present, Clock::time_point now) {
  for (auto it = paths_.begin(); it != paths_.end();) {
    if (present.contains(it->first)) {
      ++it;
      continue;
    }
    depart(it->first, it->second, now);
    it = paths_.erase(it);
  }
}

std::vector<std::string> KnownFiles::forgetDeparted(Clock::time_point now) {
  std::vector<std::string> forgotten;
  while (!departed_.empty() && now - departed_.front().when >= kRemembered) {
    Departure& departure = departed_.front();
    if (const auto count = departedKeys_.find(departure.key); count != departedKeys_.end() && --count->second <= 0) {
      departedKeys_.erase(count);
    }
    // A file that came back under another path is known by that one; a path
    // that another file has taken since is not forgotten.
    if (!paths_.contains(departure.path)) forgotten.push_back(std::move(departure.path));
    departed_.pop_front();
  }
  if (departed_.empty()) {  // their blocks go back too
    std::deque<Departure>().swap(departed_);
    std::unordered_map<FileKey, int, KeyHash>().swap(departedKeys_);
  }
  return forgotten;
}

KnownFiles::Clock::time_point KnownFiles::nextDue() const {
  return departed_.empty() ? Clock::time_point::max() : departed_.front().when + kRemembered;
}

void PresentFiles::tell(std::vector<SeenFile> files) {
  std::lock_guard lock(mutex_);
  if (files_.empty()) {
    files_ = std::move(files);
  } else {
    std::move(files.begin(), files.end(), std::back_inserter(files_));
  }
}

void PresentFiles::tellFolders(std::vector<PassedOverFolder> folders) {
  if (folders.empty()) return;
  {
    std::lock_guard lock(mutex_);
    std::move(folders.begin(), folders.end(), std::back_inserter(folders_));
  }
  const std::uint64_t one = 1;
  (void)!::write(told_.get(), &one, sizeof one);
}

void PresentFiles::moveInto(KnownFiles& known, MetadataIndex& index, const std::string& resolvedRoot) {
  std::vector<SeenFile> files;
  std::vector<PassedOverFolder> folders;
  {
    std::lock_guard lock(mutex_);
    files.swap(files_);
    folders.swap(folders_);
  }
  for (const auto& file : files) known.add(file.relativePath, FileKey{file.inode, file.birthNanoseconds});
  // A passed-over folder is as the fetch's walk remembered it: no file in it
  // was added, removed or renamed since its files' entries were made, so the
  // inode and birth time there are the file's own.
  std::vector<std::string> unindexed;
  for (const auto& folder : folders) {
    auto held = index.hold();  // a folder at a time: inserters need the index too
    forEachFilePassedOver(folder, [&](const std::string& path) {
      if (const auto entry = held.known(path)) {
        known.add(path, FileKey{entry->stamp.inode, entry->stamp.birthNanoseconds});
      } else {
        unindexed.push_back(path);
      }
    });
  }
  // Asked of the file system with the index let go: inserters wait on it.
  for (const auto& path : unindexed) {
    if (const auto status = statusOfFile(resolvedRoot + "/" + path); status && status->regular) {
      known.add(path, FileKey{status->stamp.inode, status->stamp.birthNanoseconds});
    }
  }
}

}  // namespace shotsieve::folder
