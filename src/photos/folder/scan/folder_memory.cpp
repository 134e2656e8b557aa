#include "photos/folder/scan/folder_memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "photos/folder/private_files.h"
#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/scan/known_selection.h"
#include "photos/no_link_open.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/unique_fd.h"
#include "photos/writer_debris.h"

namespace shotsieve::folder {

namespace {

// Version 3: subfolders and links before files, and files counted (before,
// a walk went through every name of the library to find the folders). In 2:
// a CRC-32 over the records (FNV-1a before, a byte at a time, cost a listing
// of a large library more than the rest of reading it).
constexpr std::string_view kMagic = "shotsieve folders 3\n";
// Far more than the names of a million files; a bigger file is not read.
constexpr std::size_t kMostBytes = std::size_t{512} << 20;

std::uint64_t checksumOf(std::string_view bytes) {
  return ::crc32_z(0L, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
}

template <typename T>
void put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads values off the front of a file's bytes; once anything is short or
// out of bounds, every later read fails too.
struct Reader {
  std::string_view rest;
  bool ok = true;
  template <typename T>
  T take() {
    T value{};
    if (!ok || rest.size() < sizeof value) {
      ok = false;
      return value;
    }
    std::memcpy(&value, rest.data(), sizeof value);
    rest.remove_prefix(sizeof value);
    return value;
  }
  std::string_view bytes(std::size_t count) {
    if (!ok || rest.size() < count) {
      ok = false;
      return {};
    }
    const auto taken = rest.substr(0, count);
    rest.remove_prefix(count);
    return taken;
  }
};

// Every entry a kind and a name ended by '\0', files last from `filesAt`,
// or no record at all; never a name the walk skips ("..", hidden ones) nor
// one with a '/': a forged record must not lead the walk out of the
// library. Searched by memchr: a record file holds every name of the library.
bool wellFormed(std::string_view entries, std::size_t filesAt) {
  if (filesAt > entries.size() || (!entries.empty() && entries.back() != '\0')) return false;
  for (std::size_t at = 0; at < entries.size();) {
    const char kind = entries[at];
    if ((kind != 'd' && kind != 'f' && kind != 'l') || (kind == 'f') != (at >= filesAt)) return false;
    const std::size_t end = entries.find('\0', at + 1);  // found: the last byte is one
    const std::string_view name = entries.substr(at + 1, end - at - 1);
    // What the walk skips shows in a name's first byte.
    if (walkSkipsName(name.substr(0, 1)) || name.find('/') != std::string_view::npos) return false;
    at = end + 1;
  }
  return true;
}

}  // namespace

bool stampTrusted(const FolderStamp& stamp, std::int64_t readNanoseconds) {
  return readNanoseconds - std::max(stamp.modifiedNanoseconds, stamp.changedNanoseconds) >= kFolderSettleNanoseconds;
}

FolderMemory::FolderMemory(std::string path) : path_(std::move(path)) {}

void FolderMemory::load() {
  startOver();  // what a walk remembered may lie in the bytes loaded before
  loaded_.clear();
  if (path_.empty()) return;
  const UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  auto bytes = std::make_shared<const std::string>(readAtMost(fd.get(), kMostBytes + 1));
  if (bytes->size() > kMostBytes) return;
  const std::string_view all = *bytes;
  constexpr std::size_t kSum = sizeof(std::uint64_t);
  if (all.size() < kMagic.size() + kSum || all.substr(0, kMagic.size()) != kMagic) return;
  std::uint64_t sum = 0;
  std::memcpy(&sum, all.data() + all.size() - kSum, kSum);
  const std::string_view body = all.substr(kMagic.size(), all.size() - kMagic.size() - kSum);
  if (checksumOf(body) != sum) return;  // torn or damaged: every folder is read again
  Reader reader{body};
  std::unordered_map<std::string, FolderRecord> records;
  while (reader.ok && !reader.rest.empty()) {
    const auto pathSize = reader.take<std::uint32_t>();
    std::string relative(reader.bytes(pathSize));
    FolderRecord record;
    record.stamp.device = reader.take<std::uint64_t>();
    record.stamp.inode = reader.take<std::uint64_t>();
    record.stamp.modifiedNanoseconds = reader.take<std::int64_t>();
    record.stamp.changedNanoseconds = reader.take<std::int64_t>();
    record.readNanoseconds = reader.take<std::int64_t>();
    record.entries = reader.bytes(reader.take<std::uint32_t>());
    record.filesAt = reader.take<std::uint32_t>();
    record.images = reader.take<std::uint32_t>();
    record.videos = reader.take<std::uint32_t>();
    if (reader.take<std::uint8_t>() != 0) {
      record.outlookType = reader.take<std::int32_t>();
      const auto latest = reader.take<double>();
      record.outlook = FilesOutlook{latest, reader.take<std::uint8_t>() != 0};
    }
    if (!reader.ok || !wellFormed(record.entries, record.filesAt)) return;
    records.insert_or_assign(std::move(relative), std::move(record));
  }
  loaded_ = std::move(records);
  bytes_ = std::move(bytes);
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

bool FolderMemory::holds(std::string_view entries) const {
  if (entries.empty()) return true;  // nothing to keep
  if (!bytes_) return false;
  // Compared as addresses: a view into the loaded bytes, or into others.
  const auto at = reinterpret_cast<std::uintptr_t>(entries.data());
  const auto begin = reinterpret_cast<std::uintptr_t>(bytes_->data());
  return at >= begin && at + entries.size() <= begin + bytes_->size();
}

void FolderMemory::startOver() {
  now_.clear();
  read_.clear();
  changed_ = false;
  passOver_.reset();
  passedOverCount_ = 0;
  passedOverType_.reset();
  foldersPassedOver_.clear();
}

bool FolderMemory::stillAsWalked(const std::string& root) const {
  const auto nanosecondsOf = [](const timespec& time) { return time.tv_sec * 1'000'000'000LL + time.tv_nsec; };
  const UniqueFd top(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top) return false;
  for (const auto& [relativeFolder, record] : now_) {
    const UniqueFd folder = relativeFolder.empty() ? UniqueFd(::dup(top.get()))
                                                   : openBeneath(top.get(), relativeFolder, O_RDONLY | O_DIRECTORY);
    struct stat info;
    if (!folder || ::fstat(folder.get(), &info) != 0) return false;
    const FolderStamp now{info.st_dev, info.st_ino, nanosecondsOf(info.st_mtim), nanosecondsOf(info.st_ctim)};
    if (!(now == record.stamp)) return false;
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
  if (!holds(record.entries)) keep(record);
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
      !outlookRulesOut(*record.outlook, *passOver_)) {
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

std::vector<std::uint64_t> FolderMemory::hashesOfFilesPassedOver() const {
  std::vector<std::uint64_t> hashes;
  hashes.reserve(passedOverCount_);
  for (const auto& folder : foldersPassedOver_) {
    const auto record = now_.find(folder);
    if (record == now_.end()) continue;
    forEachFilePassedOver(folder, record->second.entries, passedOverType_,
                          [&](const std::string& path) { hashes.push_back(MetadataIndex::pathHash(path)); });
  }
  return hashes;
}

std::vector<PassedOverFolder> FolderMemory::foldersPassedOver() const {
  std::vector<PassedOverFolder> folders;
  folders.reserve(foldersPassedOver_.size());
  for (const auto& folder : foldersPassedOver_) {
    const auto record = now_.find(folder);
    if (record == now_.end()) continue;
    // Always of a folder unchanged since it was loaded; else a copy of its own.
    auto bytes = holds(record->second.entries) ? bytes_ : std::make_shared<const std::string>(record->second.entries);
    const std::string_view entries = bytes_ == bytes ? record->second.entries : std::string_view(*bytes);
    folders.push_back({folder, entries, passedOverType_, std::move(bytes)});
  }
  return folders;
}

void FolderMemory::save() {
  if (path_.empty()) return;
  removeTemporariesOfEndedWritersBeside(path_);  // a run killed while it wrote left its file, also when nothing changed since
  if (!changed_ && now_.size() == loaded_.size()) return;
  std::string out(kMagic);
  for (const auto& [relative, record] : now_) {
    put(out, static_cast<std::uint32_t>(relative.size()));
    out += relative;
    put(out, record.stamp.device);
    put(out, record.stamp.inode);
    put(out, record.stamp.modifiedNanoseconds);
    put(out, record.stamp.changedNanoseconds);
    put(out, record.readNanoseconds);
    put(out, static_cast<std::uint32_t>(record.entries.size()));
    out += record.entries;
    put(out, record.filesAt);
    put(out, record.images);
    put(out, record.videos);
    put(out, static_cast<std::uint8_t>(record.outlook.has_value()));
    if (record.outlook) {
      put(out, static_cast<std::int32_t>(record.outlookType));
      put(out, record.outlook->latest);
      put(out, static_cast<std::uint8_t>(record.outlook->mayHoldScreenshots));
    }
  }
  put(out, checksumOf(std::string_view(out).substr(kMagic.size())));
  if (out.size() > kMostBytes) return;  // the old file stays; its records are checked anyway
  // A file that cannot be written costs the next walk a read of every folder.
  (void)replacePrivateFile(path_, out);
}

}  // namespace shotsieve::folder
