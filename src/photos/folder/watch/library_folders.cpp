#include "photos/folder/watch/library_folders.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "photos/cache_tag.h"
#include "photos/folder/scan/file_status.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/no_link_open.h"

namespace shotsieve::folder {

void LibraryFolders::attach(const std::string& resolvedRoot, Files files, FolderMemory* records) {
  rootPath_ = resolvedRoot;
  inserter_.attach(rootPath_);
  polled_ = std::make_unique<PollingSource>(rootPath_);
  lookThrough("", open(""), files, files == Files::newHandedOn, records);
}

void LibraryFolders::detach() {
  if (watched_) watched_->clear();
  polled_.reset();
  rootPath_.clear();
  inserter_.attach({});
}

UniqueFd LibraryFolders::open(const std::string& relativeFolder) const {
  if (rootPath_.empty()) return UniqueFd();
  UniqueFd root(::open(rootPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root || relativeFolder.empty()) return root;
  return openBeneath(root.get(), relativeFolder, O_RDONLY | O_DIRECTORY);
}

void LibraryFolders::cover(const std::string& relativeFolder, int folderFd) {
  const bool byInotify = watched_ && watched_->add(relativeFolder, folderFd);
  // Where inotify cannot see everything, or has no watch left, the folder is looked at too.
  if (polled_ && (!byInotify || blind_.blind(folderFd))) polled_->add(relativeFolder, folderFd);
}

// Covered before its cache tag is asked for: a tag written meanwhile is seen
// now or heard of, never missed (an export folder made in the library while a
// watch looks at it would have its copies reported). A cache is no pictures.
bool LibraryFolders::coverUnlessCache(const std::string& relativeFolder, int folderFd) {
  cover(relativeFolder, folderFd);
  return !uncoveredAsCache(relativeFolder, folderFd);
}

// True when the covered folder holds a cache tag, and is no longer covered.
bool LibraryFolders::uncoveredAsCache(const std::string& relativeFolder, int folderFd) {
  if (relativeFolder.empty() || !hasCacheTag(folderFd)) return false;
  if (watched_) watched_->remove(relativeFolder);
  if (polled_) polled_->remove(relativeFolder);
  return true;
}

void LibraryFolders::lookThrough(const std::string& relativeFolder, UniqueFd folder, Files files, bool sweep,
                                 FolderMemory* records) {
  if (!folder || !coverUnlessCache(relativeFolder, folder.get())) return;
  if (files == Files::toldByFetch) {
    // Only the folders, and those unchanged since the last walk not read
    // again: a cover is set before its folder's stamp is taken, so a change
    // after that sends an event and one before it changed the stamp.
    const WalkOutcome walked = walkFolder(
        std::move(folder), rootPath_, relativeFolder, std::nullopt, {},
        [&](const std::string& sub, int fd, struct stat& status) { return coverBy(sub, fd, status, records); },
        FolderHandles::closedWithTheWalk, records);
    // A subfolder that could not be opened is heard of again only by a whole
    // watch of its parent (its mode changed), so none stays quiet.
    if (!walked.whole && watched_) {
      for (const auto& quietFolder : watched_->quietFolders()) stirred(quietFolder);
    }
    return;
  }
  std::unordered_set<std::string> seen;
  walkFolder(
      std::move(folder), rootPath_, relativeFolder, std::nullopt,
      [&](const LibraryFile& file) {
        const auto status = statusOfFile(file);
        if (!status || !status->regular) return;
        const FileKey key{status->stamp.inode, status->stamp.birthNanoseconds};
        if (sweep) seen.insert(file.relativePath);
        if (files == Files::known || known_.contains(key)) {
          known_.add(file.relativePath, key);
        } else {
          inserter_.offer(FileInserter::Candidate(file.relativePath));
        }
      },
      [&](const std::string& sub, int fd, struct stat&) {
        return coverUnlessCache(sub, fd) ? Entered::anew : Entered::cache;  // this walk keeps no record
      });
  if (sweep) known_.leftExcept(seen, KnownFiles::Clock::now());
}

// Quietly, a folder unchanged since its last walk, each of whose images the
// index knew then: what its files do (written, closed, their mode changed)
// gives no line, and a new entry stirs it. Its stamp is compared again once
// the quiet watch is set: a change before that is seen in the stamp, one after
// it stirs the folder. `status` is taken again once the folder is watched, as
// the walk lists the folder by it.
Entered LibraryFolders::coverBy(const std::string& relativeFolder, int folderFd, struct stat& status,
                                const FolderMemory* records) {
  const FolderRecord* record = nullptr;
  if (records != nullptr && watched_ && !blind_.blind(folderFd, status.st_dev)) {
    record = records->unchanged(relativeFolder, stampOf(status));
  }
  const bool quiet = record != nullptr && record->outlook &&
                     (record->outlookType == 0 || record->outlookType == kImageMediaType) &&
                     watched_->addQuiet(relativeFolder, folderFd);
  if (quiet && ::fstat(folderFd, &status) == 0 && records->unchanged(relativeFolder, stampOf(status)) != nullptr) {
    return uncoveredAsCache(relativeFolder, folderFd) ? Entered::cache : Entered::byStatus;
  }
  if (!coverUnlessCache(relativeFolder, folderFd)) return Entered::cache;
  return ::fstat(folderFd, &status) == 0 ? Entered::byStatus : Entered::anew;
}

void LibraryFolders::stirred(const std::string& relativeFolder) {
  if (const UniqueFd folder = open(relativeFolder)) cover(relativeFolder, folder.get());
}

void LibraryFolders::forget(const std::string& relativeFolder) {
  if (watched_) watched_->remove(relativeFolder);
  if (polled_) polled_->remove(relativeFolder);
  known_.leftBelow(relativeFolder, KnownFiles::Clock::now());
}

bool LibraryFolders::becameCache(const std::string& relativeFolder) const {
  if (relativeFolder.empty()) return false;  // the root itself is the library, tag or not
  const UniqueFd folder = open(relativeFolder);
  return folder && hasCacheTag(folder.get());
}

bool LibraryFolders::isLink(const std::string& relativePath) const {
  const auto slash = relativePath.rfind('/');
  const UniqueFd folder = open(slash == std::string::npos ? "" : relativePath.substr(0, slash));
  const std::string name = relativePath.substr(slash == std::string::npos ? 0 : slash + 1);
  struct stat info;
  return folder && ::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace shotsieve::folder
