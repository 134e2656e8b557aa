#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "photos/file_time.h"
#include "photos/photo_library.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

// What identifies the state of a folder's list of entries. A folder's stamp
// changes when an entry is added, removed or renamed, and not when a file in
// it is written or a subfolder changes. The change time is there because
// nobody can set it: a folder whose modification time was put back is still
// noticed.
struct FolderStamp {
  std::uint64_t device = 0, inode = 0;
  std::int64_t modifiedNanoseconds = 0, changedNanoseconds = 0;
  bool operator==(const FolderStamp&) const = default;
};

inline FolderStamp stampOf(const struct stat& info) {
  return {info.st_dev, info.st_ino, fileNanoseconds(info.st_mtim), fileNanoseconds(info.st_ctim)};
}

// A stamp read less than this after the folder's last change may not show
// the next one: file systems keep coarser times than the kernel's clock (2 s
// on FAT), and a change in the same tick leaves the same time.
inline constexpr std::int64_t kFolderSettleNanoseconds = 3'000'000'000;

// Whether a folder's entries read at `readNanoseconds` (the clock before its
// stamp was taken) are still its entries while its stamp stays `stamp`.
bool stampTrusted(const FolderStamp& stamp, std::int64_t readNanoseconds);

// What the files of a folder may hold, as the index knew them when the
// folder was last walked: no asset of them dates after `latest` (seconds
// since the epoch), and none is a screenshot unless `mayHoldScreenshots`.
struct FilesOutlook {
  double latest = 0;
  bool mayHoldScreenshots = false;
  void widen(const FilesOutlook& other) {
    latest = std::max(latest, other.latest);
    mayHoldScreenshots = mayHoldScreenshots || other.mayHoldScreenshots;
  }
  bool operator==(const FilesOutlook&) const = default;
};

// The entries a walk keeps of a folder: its subfolders, files and links that
// the walk would look at, each as a kind byte and its name; and, where every
// file of the media type walked was known, their outlook. The entries are a
// view: of the bytes the FolderMemory holding the record keeps, once it
// holds it (they are every name of the library, not copied from walk to walk).
// Once held, subfolders and links come first, from `filesAt` on the files,
// which are counted by media type: a walk that passes over the files, or
// walks only the folders, need not go through their names. A record loaded
// from the file holds its files' names only once they are asked for
// (`filesHeld`): a listing of a large library reads the names of the few
// folders whose files it looks at, not of all.
struct FolderRecord {
  FolderStamp stamp;
  std::int64_t readNanoseconds = 0;
  std::string_view entries;  // kind ('d', 'f' or 'l'), name, '\0'; names hold neither '\0' nor '/'
  std::optional<FilesOutlook> outlook;
  int outlookType = 0;  // the media type whose files it covers; 0: all
  std::uint32_t filesAt = 0;
  std::uint32_t images = 0, videos = 0;
  bool filesHeld = true;  // false: `entries` ends at `filesAt`, the files' names are still in the file
  bool operator==(const FolderRecord&) const = default;
  // Its files of a media type (every asset file when none).
  std::size_t files(std::optional<int> mediaType) const {
    return !mediaType ? images + videos : *mediaType == kImageMediaType ? images : videos;
  }
};

// Calls `each(kind, name)` for every entry of a record.
template <typename Each>
void forEachEntry(std::string_view entries, Each&& each) {
  while (entries.size() > 1) {
    const auto end = entries.find('\0');
    if (end == std::string_view::npos) return;
    each(entries.front(), entries.substr(1, end - 1));
    entries.remove_prefix(end + 1);
  }
}

// Where a folder's entries, its files' names with them, lie in the record
// file, under their checksum: read only when a walk looks at those files.
struct StoredFiles {
  std::uint64_t offset = 0;  // from the start of the files' names
  std::uint32_t size = 0, checksum = 0;
  std::uint32_t filesAt = 0;  // the block holds the folder's every entry, files from here
};

// A record file as loaded, kept open for the names of files read from it later.
struct StoredNamesFile {
  UniqueFd file;
  std::uint64_t filesStart = 0;  // where the files' names begin in it
};

// The files of one folder that a walk passed over, as its record names them.
struct PassedOverFolder {
  std::string relativeFolder;
  std::string_view entries;                   // as in its FolderRecord
  std::optional<int> mediaType;               // of the files passed over; every asset file when none
  std::shared_ptr<const std::string> bytes;   // that `entries` lies in
};

// Calls `each(relativePath)` for every file of a folder that was passed over,
// of `mediaType` (every asset file when none), as its record's entries name them.
void forEachFilePassedOver(std::string_view relativeFolder, std::string_view entries, std::optional<int> mediaType,
                           const std::function<void(const std::string&)>& each);
inline void forEachFilePassedOver(const PassedOverFolder& folder, const std::function<void(const std::string&)>& each) {
  forEachFilePassedOver(folder.relativeFolder, folder.entries, folder.mediaType, each);
}

// Where the walks of a library keep their record of folders, in its cache
// folder ("" for none: nothing kept).
inline std::string folderMemoryIn(const std::string& cacheDir) {
  return cacheDir.empty() ? std::string() : cacheDir + "/folder-stamps";
}

// The folders a listing read last time, by path relative to the library
// root, kept in one file beside the index, so that the next one reads only
// those that changed. Each record is true for as long as its folder's stamp
// is, so the file needs no merge: the last writer's records replace the
// file, and a record that is no longer true is simply not used. A missing,
// damaged or foreign file is an empty memory; a folder whose names of files
// are damaged is read again. Used by one walk at a time.
class FolderMemory {
 public:
  // An empty path keeps nothing.
  explicit FolderMemory(std::string path);
  // Moved, never copied: its records are views of what it keeps.
  FolderMemory(FolderMemory&&) = default;
  FolderMemory& operator=(FolderMemory&&) = default;
  FolderMemory(const FolderMemory&) = delete;
  FolderMemory& operator=(const FolderMemory&) = delete;

  // Reads the file, and starts a walk from its records.
  void load();
  // The record of the folder, if its stamp is still `now` and was trusted;
  // its files' names may still be in the file.
  const FolderRecord* unchanged(const std::string& relativeFolder, const FolderStamp& now) const;
  // Whether a record of the folder was loaded at all.
  bool remembers(const std::string& relativeFolder) const { return loaded_.contains(relativeFolder); }
  // The record loaded of a folder that held entries on another file system
  // than the one it lies on `now`; none otherwise. Found empty, such a folder
  // is a mount point whose disk or card is away for a moment.
  const FolderRecord* heldElsewhere(const std::string& relativeFolder, const FolderStamp& now) const {
    const auto found = loaded_.find(relativeFolder);
    if (found == loaded_.end() || found->second.stamp.device == now.device) return nullptr;
    const FolderRecord& before = found->second;
    return before.entries.empty() && before.images + before.videos == 0 ? nullptr : &before;
  }
  // The same record with its files' names read, or none when they could not
  // be (damaged, or the file replaced since the load): the folder is then read.
  const FolderRecord* withFiles(const std::string& relativeFolder);
  // Whether every folder this walk remembered still has the stamp it had
  // when the walk listed it (the library at `root`).
  bool stillAsWalked(const std::string& root) const;
  // What the walk found in the folder this time, kept for the next.
  void remember(const std::string& relativeFolder, FolderRecord record);
  // The outlook of the files of a folder remembered this time, of those of
  // the media type walked (0: all), once each was looked at or known.
  void setOutlook(const std::string& relativeFolder, int mediaType, const FilesOutlook& outlook);
  // From now on, the walk passes over the files of an unchanged folder whose
  // outlook says that these options select none of them.
  void passOverFilesFor(const FetchOptions& options) { passOver_ = options; }
  // Whether the walk passes over the files of this unchanged folder; its
  // outlook then stays as it was, whatever the files it still looks at (links).
  bool passesOverFilesOf(const std::string& relativeFolder, const FolderRecord& record, std::optional<int> mediaType);
  // The files of the folders passed over will be asked for by name (a
  // watch's baseline tells the watcher): every folder's names are read now,
  // in one read, and a folder whose names cannot be is not passed over.
  void keepNamesOfFilesPassedOver();
  // The files passed over so, which are still there: how many, and the
  // hashes of their paths (MetadataIndex::pathHash), worked out when asked;
  // none when the names of some could not be read.
  void passedOver(std::size_t files) { passedOverCount_ += files; }
  std::size_t filesPassedOver() const { return passedOverCount_; }
  std::optional<std::vector<std::uint64_t>> hashesOfFilesPassedOver();
  // The folders whose files were passed over, for whoever must still know
  // those files (keepNamesOfFilesPassedOver first); those whose names were
  // not read are left out.
  std::vector<PassedOverFolder> foldersPassedOver();
  // Replaces the file with the folders remembered by this walk, when they
  // differ from what was loaded. A file that cannot be written costs the
  // next walk a read of every folder, nothing more.
  void save();

 private:
  // Forgets what a walk found, keeping what was loaded.
  void startOver();
  // Keeps a record's entries as its own, subfolders and links first, its files counted.
  void keep(FolderRecord& record);
  // Reads the names of the files of these loaded folders from the file, in
  // one read; whether every one was read.
  bool readFilesOf(const std::vector<std::string>& folders);

  std::string path_;
  std::shared_ptr<const StoredNamesFile> source_;  // the file loaded, while names of files remain in it
  std::shared_ptr<const std::string> head_;   // its records, that their subfolders and links lie in
  std::unordered_map<std::string, StoredFiles> stored_;  // of loaded records whose files are not read yet
  // Loaded records whose files were read: who keeps the bytes their entries lie in.
  std::unordered_map<std::string, std::shared_ptr<const std::string>> withFiles_;
  std::deque<std::string> read_;              // the entries of folders read by this walk
  std::unordered_map<std::string, FolderRecord> loaded_;
  std::unordered_map<std::string, FolderRecord> now_;
  bool changed_ = false;
  bool namesKept_ = false;  // keepNamesOfFilesPassedOver
  std::optional<FetchOptions> passOver_;
  std::size_t passedOverCount_ = 0;
  std::optional<int> passedOverType_;
  std::unordered_set<std::string> foldersPassedOver_;
};

}  // namespace shotsieve::folder
