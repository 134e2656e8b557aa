#include "photos/folder/metadata/metadata_index.h"

#include <bit>
#include <cstring>
#include <fstream>

#include "photos/folder/private_files.h"

namespace shotsieve::folder {

namespace {

constexpr std::string_view kMagic = "shotsieve metadata index 4\n";

enum Flags : std::uint8_t { kHeaderRead = 1, kHasCapture = 2, kFavorite = 4, kMarked = 8 };

// One record of the file, written field by field in the machine's byte order.
struct Record {
  std::uint64_t pathHash;
  std::uint64_t size;
  std::int64_t modifiedNanoseconds;
  std::uint64_t inode;
  std::int64_t changedNanoseconds;
  std::int64_t width;
  std::int64_t height;
  double capture;
  std::uint8_t flags;
  std::uint8_t format;
};
constexpr std::size_t kWords = 8;
constexpr std::size_t kRecordSize = kWords * 8 + 2;

// FNV-1a: stable across builds and runs, unlike std::hash.
std::uint64_t pathHash(std::string_view path) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : path) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

void encode(const Record& record, char* out) {
  const std::uint64_t words[kWords] = {record.pathHash,
                                  record.size,
                                  static_cast<std::uint64_t>(record.modifiedNanoseconds),
                                  record.inode,
                                  static_cast<std::uint64_t>(record.changedNanoseconds),
                                  static_cast<std::uint64_t>(record.width),
                                  static_cast<std::uint64_t>(record.height),
                                  std::bit_cast<std::uint64_t>(record.capture)};
  std::memcpy(out, words, sizeof words);
  out[sizeof words] = static_cast<char>(record.flags);
  out[sizeof words + 1] = static_cast<char>(record.format);
}

Record decode(const char* in) {
  std::uint64_t words[kWords];
  std::memcpy(words, in, sizeof words);
  return Record{words[0],
                words[1],
                static_cast<std::int64_t>(words[2]),
                words[3],
                static_cast<std::int64_t>(words[4]),
                static_cast<std::int64_t>(words[5]),
                static_cast<std::int64_t>(words[6]),
                std::bit_cast<double>(words[7]),
                static_cast<std::uint8_t>(in[sizeof words]),
                static_cast<std::uint8_t>(in[sizeof words + 1])};
}

}  // namespace

MetadataIndex::MetadataIndex(std::string path) : path_(std::move(path)) {}

void MetadataIndex::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (path_.empty()) return;
  std::ifstream file(path_, std::ios::binary);
  std::string magic(kMagic.size(), '\0');
  if (!file.read(magic.data(), static_cast<std::streamsize>(magic.size())) || magic != kMagic) return;
  std::unordered_map<std::uint64_t, Entry> entries;
  char buffer[kRecordSize];
  while (file.read(buffer, kRecordSize)) {
    const Record record = decode(buffer);
    Entry entry;
    entry.stamp = FileStamp{record.size, record.modifiedNanoseconds, record.inode, record.changedNanoseconds};
    entry.facts.width = record.width;
    entry.facts.height = record.height;
    entry.facts.headerRead = record.flags & kHeaderRead;
    entry.facts.favorite = record.flags & kFavorite;
    entry.facts.markedScreenshot = record.flags & kMarked;
    if (record.flags & kHasCapture) entry.facts.captureDate = record.capture;
    // A format this build does not know: the file is read again.
    if (record.format > static_cast<std::uint8_t>(FileFormat::video)) continue;
    entry.facts.format = static_cast<FileFormat>(record.format);
    entries.emplace(record.pathHash, entry);
  }
  if (file.gcount() != 0) return;  // a torn last record: the file is damaged, start afresh
  entries_ = std::move(entries);
}

std::optional<ImageFacts> MetadataIndex::find(const std::string& relativePath, const FileStamp& stamp) {
  std::lock_guard lock(mutex_);
  loadLocked();
  const auto found = entries_.find(pathHash(relativePath));
  if (found == entries_.end() || !(found->second.stamp == stamp)) return std::nullopt;
  found->second.used = true;
  return found->second.facts;
}

void MetadataIndex::store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts) {
  std::lock_guard lock(mutex_);
  loadLocked();
  entries_[pathHash(relativePath)] = Entry{stamp, facts, true};
  changed_ = true;
}

void MetadataIndex::save() {
  std::lock_guard lock(mutex_);
  if (path_.empty()) return;
  std::size_t unused = 0;
  for (const auto& [_, entry] : entries_) unused += entry.used ? 0 : 1;
  const bool write = changed_ || unused > 0;
  std::unordered_map<std::uint64_t, Entry> entries;
  entries.swap(entries_);
  loaded_ = false;
  changed_ = false;
  if (!write) return;
  std::string out(kMagic);
  out.reserve(kMagic.size() + entries.size() * kRecordSize);
  for (const auto& [hash, entry] : entries) {
    if (!entry.used) continue;
    const auto& facts = entry.facts;
    const std::uint8_t flags = (facts.headerRead ? kHeaderRead : 0) | (facts.captureDate ? kHasCapture : 0) |
                               (facts.favorite ? kFavorite : 0) | (facts.markedScreenshot ? kMarked : 0);
    char record[kRecordSize];
    encode(Record{hash, entry.stamp.size, entry.stamp.modifiedNanoseconds, entry.stamp.inode,
                  entry.stamp.changedNanoseconds, facts.width,
                  facts.height, facts.captureDate.value_or(0.0), flags, static_cast<std::uint8_t>(facts.format)},
           record);
    out.append(record, kRecordSize);
  }
  entries.clear();
  replacePrivateFile(path_, out);  // a cache: failing to keep it costs only time
}

}  // namespace shotsieve::folder
