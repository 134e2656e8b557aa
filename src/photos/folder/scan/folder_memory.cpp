#include "photos/folder/scan/folder_memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "photos/folder/private_files.h"
#include "photos/folder/scan/folder_memory_file.h"
#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/scan/known_selection.h"
#include "photos/no_link_open.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/unique_fd.h"
#include "photos/writer_debris.h"

namespace shotsieve::folder {

bool stampTrusted(const FolderStamp& stamp, std::int64_t readNanoseconds) {
  return readNanoseconds - std::max(stamp.modifiedNanoseconds, stamp.changedNanoseconds) >= kFolderSettleNanoseconds;
}

FolderMemory::FolderMemory(std::string path) : path_(std::move(path)) {}

void FolderMemory::load() {
  startOver();  // what a walk remembered may lie in the bytes loaded before
  loaded_.clear();
  stored_.clear();
  withFiles_.clear();
  head_.reset();
  source_.reset();
  if (path_.empty()) return;
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));  // a FIFO there: no wait
  if (!fd) return;
  auto loaded = readFolderRecords(fd.get());
  if (!loaded) return;
  loaded_ = std::move(loaded->records);
  stored_ = std::move(loaded->stored);
  head_ = std::move(loaded->head);
  // Kept open: a file put in its place since holds other records.
  if (!stored_.empty()) source_ = std::make_shared<const StoredNamesFile>(StoredNamesFile{std::move(fd), loaded->filesStart});
}

bool FolderMemory::readFilesOf(const std::vector<std::string>& folders) {
  std::vector<std::string> wanted;
  std::vector<StoredFiles> blocks;
  bool all = true;
  for (const auto& folder : folders) {
    const auto loaded = loaded_.find(folder);
    if (loaded == loaded_.end() || loaded->second.filesHeld) continue;
    const auto stored = stored_.find(folder);
    if (stored == stored_.end()) {
      all = false;  // could not be read before
      continue;
    }
    wanted.push_back(folder);
    blocks.push_back(stored->second);
    stored_.erase(stored);  // read once, whatever comes of it
  }
  if (blocks.empty()) return all;
  // The entries of every folder read lie in one span, kept while any is used.
  auto span = std::make_shared<std::string>();  // a memory with names still in its file holds it open
  const auto files = readStoredFiles(*source_, blocks, *span);
  const std::shared_ptr<const std::string> owner = std::move(span);
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    FolderRecord& record = loaded_.at(wanted[i]);
    // Its subfolders and links as the checked first part has them, too.
    if (!files[i] || files[i]->substr(0, record.filesAt) != record.entries) {
      all = false;
      continue;
    }
    record.entries = *files[i];
    record.filesHeld = true;
    withFiles_.insert_or_assign(wanted[i], owner);
  }
  if (stored_.empty()) source_.reset();
  return all;
}

const FolderRecord* FolderMemory::withFiles(const std::string& relativeFolder) {
  const auto found = loaded_.find(relativeFolder);
  if (found == loaded_.end()) return nullptr;
  if (!found->second.filesHeld) readFilesOf({relativeFolder});
  return found->second.filesHeld ? &found->second : nullptr;
}

void FolderMemory::keep(FolderRecord& record) {
  std::string& kept = read_.emplace_back();
  kept.reserve(record.entries.size());
  std::string files;
  record.images = record.videos = 0;
  forEachEntry(record.entries, [&](char kind, std::string_view name) {
    std::string& into = kind == 'f' ? files : kept;
    into += kind;
    into += name;
    into += '\0';
    if (kind != 'f') return;
    const auto type = mediaTypeOfName(name);
    record.images += type == kImageMediaType;
    record.videos += type == kVideoMediaType;
  });
  record.filesAt = static_cast<std::uint32_t>(kept.size());
  kept += files;
  record.entries = kept;
}

void FolderMemory::startOver() {
  namesKept_ = false;
  now_.clear();
  read_.clear();
  changed_ = false;
  passOver_.reset();
  passedOverCount_ = 0;
  passedOverType_.reset();
  foldersPassedOver_.clear();
}

bool FolderMemory::stillAsWalked(const std::string& root) const {
  const UniqueFd top(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top) return false;
  for (const auto& [relativeFolder, record] : now_) {
    const UniqueFd folder = relativeFolder.empty() ? UniqueFd(::dup(top.get()))
                                                   : openBeneath(top.get(), relativeFolder, O_RDONLY | O_DIRECTORY);
    struct stat info;
    if (!folder || ::fstat(folder.get(), &info) != 0) return false;
    if (!(stampOf(info) == record.stamp)) return false;
  }
  return true;
}

const FolderRecord* FolderMemory::unchanged(const std::string& relativeFolder, const FolderStamp& now) const {
  const auto found = loaded_.find(relativeFolder);
  if (found == loaded_.end() || found->second.stamp != now) return nullptr;
  return stampTrusted(now, found->second.readNanoseconds) ? &found->second : nullptr;
}

void FolderMemory::remember(const std::string& relativeFolder, FolderRecord record) {
  if (path_.empty()) return;
  const auto before = loaded_.find(relativeFolder);
  // A loaded record taken as it is lies in what this memory keeps already.
  const bool held = before != loaded_.end() && record.entries.data() == before->second.entries.data() &&
                    record.entries.size() == before->second.entries.size();
  if (!held) keep(record);
  changed_ = changed_ || before == loaded_.end() || !(before->second == record);
  now_.insert_or_assign(relativeFolder, std::move(record));
}

void FolderMemory::setOutlook(const std::string& relativeFolder, int mediaType, const FilesOutlook& outlook) {
  const auto found = now_.find(relativeFolder);
  if (found == now_.end() || foldersPassedOver_.contains(relativeFolder) || (found->second.outlook == outlook && found->second.outlookType == mediaType)) return;
  found->second.outlook = outlook;
  found->second.outlookType = mediaType;
  changed_ = true;
}

bool FolderMemory::passesOverFilesOf(const std::string& relativeFolder, const FolderRecord& record,
                                     std::optional<int> mediaType) {
  if (!passOver_ || !record.outlook || record.outlookType != mediaType.value_or(0) ||
      !outlookRulesOut(*record.outlook, *passOver_) || (namesKept_ && !record.filesHeld)) {
    return false;
  }
  foldersPassedOver_.insert(relativeFolder);
  passedOverType_ = mediaType;
  return true;
}

void forEachFilePassedOver(std::string_view relativeFolder, std::string_view entries, std::optional<int> mediaType,
                           const std::function<void(const std::string&)>& each) {
  std::string path(relativeFolder);
  if (!path.empty()) path += '/';
  const auto prefix = path.size();
  forEachEntry(entries, [&](char kind, std::string_view name) {
    if (kind != 'f') return;  // before the name's type: subfolders come first
    const auto type = mediaTypeOfName(name);
    if (!type || (mediaType && *type != *mediaType)) return;
    path.resize(prefix);
    path += name;
    each(path);
  });
}

std::optional<std::vector<std::uint64_t>> FolderMemory::hashesOfFilesPassedOver() {
  if (!readFilesOf({foldersPassedOver_.begin(), foldersPassedOver_.end()})) return std::nullopt;
  std::vector<std::uint64_t> hashes;
  hashes.reserve(passedOverCount_);
  for (const auto& folder : foldersPassedOver_) {
    const auto record = loaded_.find(folder);
    if (record == loaded_.end()) continue;
    forEachFilePassedOver(folder, record->second.entries, passedOverType_,
                          [&](const std::string& path) { hashes.push_back(MetadataIndex::pathHash(path)); });
  }
  return hashes;
}

void FolderMemory::keepNamesOfFilesPassedOver() {
  namesKept_ = true;
  std::vector<std::string> folders;
  folders.reserve(stored_.size());
  for (const auto& [folder, stored] : stored_) folders.push_back(folder);
  readFilesOf(folders);
}

std::vector<PassedOverFolder> FolderMemory::foldersPassedOver() {
  std::vector<PassedOverFolder> folders;
  folders.reserve(foldersPassedOver_.size());
  for (const auto& folder : foldersPassedOver_) {
    const auto record = loaded_.find(folder);
    if (record == loaded_.end() || !record->second.filesHeld) continue;
    const auto read = withFiles_.find(folder);
    folders.push_back({folder, record->second.entries, passedOverType_, read != withFiles_.end() ? read->second : head_});
  }
  return folders;
}

void FolderMemory::save() {
  if (path_.empty()) return;
  removeTemporariesOfEndedWritersBeside(path_);  // a run killed while it wrote left its file, also when nothing changed since
  if (!changed_ && now_.size() == loaded_.size()) return;
  // Folders taken from the file whose files were passed over: their names
  // are read now, in one read; a folder whose names cannot be is left out,
  // to be read again by the next walk.
  std::vector<std::string> notHeld;
  for (const auto& [relative, record] : now_) {
    if (!record.filesHeld) notHeld.push_back(relative);
  }
  readFilesOf(notHeld);
  for (const auto& relative : notHeld) {
    const FolderRecord& loaded = loaded_.at(relative);
    if (loaded.filesHeld) {
      FolderRecord& record = now_.at(relative);
      record.entries = loaded.entries;
      record.filesHeld = true;
    } else {
      now_.erase(relative);
    }
  }
  const std::string out = folderRecordsFile(now_);
  if (out.empty()) return;  // the old file stays; its records are checked anyway
  // A file that cannot be written costs the next walk a read of every folder.
  (void)replacePrivateFile(path_, out, Kept::cache);
}

}  // namespace shotsieve::folder
