#include "photos/folder/scan/folder_memory_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "photos/folder/metadata/byte_source.h"
#include "photos/folder/scan/folder_memory.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/present_pages.h"

namespace shotsieve::folder {

namespace {

// Version 4: the files' names after every folder's record, each folder's
// entries in a block under a checksum of its own, read only for the folders
// whose files a walk looks at (in 3, a listing of a large library read, summed and checked
// every name of it). In 3: subfolders and links before files, and files
// counted. In 2: a CRC-32 over the records.
constexpr std::string_view kMagic = "shotsieve folders 4\n";
// Far more than the names of a million files; a bigger file is not read.
constexpr std::uint64_t kMostBytes = std::uint64_t{512} << 20;
using HeadSize = std::uint64_t;
using Checksum = std::uint32_t;

Checksum checksumOf(std::string_view bytes) {
  return static_cast<Checksum>(::crc32_z(0L, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

template <typename T>
void put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads values off the front of a file's bytes; once anything is short or
// out of bounds, every later read fails too.
struct RecordReader {
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

// Whether a record's entries are kinds and names ended by '\0', files last
// from `filesAt`; never a name the walk skips ("..", hidden ones) nor one
// with a '/': a forged record must not lead the walk out of the library.
bool wellFormedEntries(std::string_view entries, std::size_t filesAt) {
  if (filesAt > entries.size() || (!entries.empty() && entries.back() != '\0')) return false;
  // Searched by memchr: the names of a folder of many files are many.
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

std::optional<LoadedFolderRecords> readFolderRecords(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const auto fileSize = static_cast<std::uint64_t>(info.st_size);
  constexpr std::uint64_t kFront = kMagic.size() + sizeof(HeadSize);
  if (fileSize > kMostBytes || fileSize < kFront + sizeof(Checksum)) return std::nullopt;
  char front[kFront];
  if (readFullyAt(fd, front, sizeof front, 0) != sizeof front || std::string_view(front, kMagic.size()) != kMagic) return std::nullopt;
  HeadSize headSize = 0;
  std::memcpy(&headSize, front + kMagic.size(), sizeof headSize);
  if (headSize > fileSize - kFront - sizeof(Checksum)) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(headSize + sizeof(Checksum)), '\0');
  if (readFullyAt(fd, bytes.data(), bytes.size(), kFront) != bytes.size()) return std::nullopt;
  Checksum sum = 0;
  std::memcpy(&sum, bytes.data() + headSize, sizeof sum);
  bytes.resize(static_cast<std::size_t>(headSize));
  if (checksumOf(bytes) != sum) return std::nullopt;  // torn or damaged: every folder is read again

  LoadedFolderRecords loaded;
  loaded.filesStart = kFront + headSize + sizeof(Checksum);
  const std::uint64_t filesSize = fileSize - loaded.filesStart;
  auto head = std::make_shared<const std::string>(std::move(bytes));
  RecordReader reader{*head};
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
    record.filesAt = static_cast<std::uint32_t>(record.entries.size());
    StoredFiles files;
    files.offset = reader.take<std::uint64_t>();
    files.size = reader.take<std::uint32_t>();
    files.checksum = reader.take<Checksum>();
    record.images = reader.take<std::uint32_t>();
    record.videos = reader.take<std::uint32_t>();
    if (reader.take<std::uint8_t>() != 0) {
      record.outlookType = reader.take<std::int32_t>();
      const auto latest = reader.take<double>();
      record.outlook = FilesOutlook{latest, reader.take<std::uint8_t>() != 0};
    }
    if (!reader.ok || !wellFormedEntries(record.entries, record.filesAt) || files.offset > filesSize ||
        files.size > filesSize - files.offset) {
      return std::nullopt;
    }
    files.filesAt = record.filesAt;
    record.filesHeld = files.size == 0;
    if (!record.filesHeld) loaded.stored.insert_or_assign(relative, files);
    loaded.records.insert_or_assign(std::move(relative), std::move(record));
  }
  loaded.head = std::move(head);
  return loaded;
}

std::vector<std::optional<std::string_view>> readStoredFiles(const StoredNamesFile& file,
                                                             const std::vector<StoredFiles>& blocks, std::string& span) {
  std::vector<std::optional<std::string_view>> files(blocks.size());
  if (blocks.empty()) return files;
  // One read from the first block to the last: a watch's baseline wants the
  // names of most folders, a listing those of one or two.
  std::uint64_t from = blocks.front().offset, to = from;
  for (const auto& block : blocks) {
    from = std::min(from, block.offset);
    to = std::max(to, block.offset + block.size);
  }
  const auto size = static_cast<std::size_t>(to - from);
  span.reserve(size);
  makePresent(span.data(), size);  // a watch's baseline reads the names of nearly every folder, megabytes
  span.resize(size);
  if (readFullyAt(file.file.get(), span.data(), size, file.filesStart + from) != size) return files;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const std::string_view block = std::string_view(span).substr(blocks[i].offset - from, blocks[i].size);
    if (checksumOf(block) == blocks[i].checksum && wellFormedEntries(block, blocks[i].filesAt)) files[i] = block;
  }
  return files;
}

std::string folderRecordsFile(const std::unordered_map<std::string, FolderRecord>& records) {
  // Sized, and its pages made present, before megabytes of names are put in.
  const auto reserved = [](std::string& bytes, std::size_t size) {
    bytes.reserve(size);
    makePresent(bytes.data(), size);
  };
  std::size_t headSize = 0, filesSize = 0;
  for (const auto& [relative, record] : records) {
    headSize += relative.size() + record.filesAt + 96;  // and the record's numbers
    if (record.entries.size() > record.filesAt) filesSize += record.entries.size();
  }
  std::string head, files;
  reserved(head, headSize);
  reserved(files, filesSize);
  for (const auto& [relative, record] : records) {
    const std::string_view folders = record.entries.substr(0, record.filesAt);
    const std::string_view names = record.entries.substr(record.filesAt);
    put(head, static_cast<std::uint32_t>(relative.size()));
    head += relative;
    put(head, record.stamp.device);
    put(head, record.stamp.inode);
    put(head, record.stamp.modifiedNanoseconds);
    put(head, record.stamp.changedNanoseconds);
    put(head, record.readNanoseconds);
    put(head, static_cast<std::uint32_t>(folders.size()));
    head += folders;
    // A folder with files has a block of its every entry; one without, none.
    const std::string_view block = names.empty() ? std::string_view() : record.entries;
    put(head, static_cast<std::uint64_t>(files.size()));
    put(head, static_cast<std::uint32_t>(block.size()));
    put(head, checksumOf(block));
    files += block;
    put(head, record.images);
    put(head, record.videos);
    put(head, static_cast<std::uint8_t>(record.outlook.has_value()));
    if (record.outlook) {
      put(head, static_cast<std::int32_t>(record.outlookType));
      put(head, record.outlook->latest);
      put(head, static_cast<std::uint8_t>(record.outlook->mayHoldScreenshots));
    }
  }
  std::string out;
  reserved(out, kMagic.size() + sizeof(HeadSize) + head.size() + sizeof(Checksum) + files.size());
  out += kMagic;
  put(out, static_cast<HeadSize>(head.size()));
  out += head;
  put(out, checksumOf(head));
  out += files;
  if (out.size() > kMostBytes) return {};  // would not be read
  return out;
}

}  // namespace shotsieve::folder
