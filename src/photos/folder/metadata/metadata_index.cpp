#include "photos/folder/metadata/metadata_index.h"

#include <bit>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

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

// Larger than any real index (300,000 files take about 20 MiB); a bigger file is not ours.
constexpr std::size_t kMaxIndexBytes = std::size_t{1} << 30;

// FNV-1a: stable across builds and runs, unlike std::hash.
std::uint64_t fnv1a(std::string_view path) {
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

ImageFacts MetadataIndex::Entry::facts() const {
  ImageFacts facts;
  facts.format = format;
  facts.width = width;
  facts.height = height;
  facts.headerRead = flags & kHeaderRead;
  facts.favorite = flags & kFavorite;
  facts.markedScreenshot = flags & kMarked;
  if (flags & kHasCapture) facts.captureDate = capture;
  return facts;
}

MetadataIndex::Entry MetadataIndex::Entry::of(std::uint64_t hash, const FileStamp& stamp, const ImageFacts& facts) {
  const auto clamp = [](std::int64_t size) { return static_cast<std::int32_t>(std::clamp<std::int64_t>(size, 0, INT32_MAX)); };
  Entry entry{hash, stamp, clamp(facts.width), clamp(facts.height), facts.captureDate.value_or(0.0), 0, facts.format};
  entry.flags = (facts.headerRead ? kHeaderRead : 0) | (facts.captureDate ? kHasCapture : 0) |
                (facts.favorite ? kFavorite : 0) | (facts.markedScreenshot ? kMarked : 0);
  return entry;
}

std::uint64_t MetadataIndex::pathHash(std::string_view relativePath) { return fnv1a(relativePath); }

// Reads exactly `size` bytes unless the file ends first.
bool readFully(int fd, char* into, std::size_t size) {
  for (std::size_t got = 0; got < size;) {
    const ssize_t n = ::read(fd, into + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

void MetadataIndex::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (path_.empty()) return;
  // One sequential read in pieces a few thousand records long, so that the
  // file's bytes are never held beside the table they become.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  struct stat info;
  char magic[kMagic.size()];
  const bool ours = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                    static_cast<std::uint64_t>(info.st_size) <= kMaxIndexBytes &&
                    static_cast<std::size_t>(info.st_size) >= kMagic.size() &&
                    (static_cast<std::size_t>(info.st_size) - kMagic.size()) % kRecordSize == 0 &&
                    readFully(fd, magic, sizeof magic) && std::string_view(magic, sizeof magic) == kMagic;
  if (!ours) {  // foreign or torn
    ::close(fd);
    return;
  }
  std::size_t left = (static_cast<std::size_t>(info.st_size) - kMagic.size()) / kRecordSize;
  std::vector<Entry> entries;
  entries.reserve(left);
  std::vector<char> chunk(kRecordSize * 4096);
  while (left > 0) {
    const std::size_t records = std::min<std::size_t>(left, 4096);
    if (!readFully(fd, chunk.data(), records * kRecordSize)) {  // shrank while read: start afresh
      ::close(fd);
      return;
    }
    for (std::size_t i = 0; i < records; ++i) {
      const Record record = decode(chunk.data() + i * kRecordSize);
      // A format this build does not know: the file is read again.
      if (record.format > static_cast<std::uint8_t>(FileFormat::video)) continue;
      entries.push_back(Entry{record.pathHash,
                              FileStamp{record.size, record.modifiedNanoseconds, record.inode, record.changedNanoseconds},
                              static_cast<std::int32_t>(std::clamp<std::int64_t>(record.width, 0, INT32_MAX)),
                              static_cast<std::int32_t>(std::clamp<std::int64_t>(record.height, 0, INT32_MAX)),
                              record.capture, record.flags, static_cast<FileFormat>(record.format)});
    }
    left -= records;
  }
  ::close(fd);
  // Written sorted; a file that is not is still usable once sorted.
  const auto byHash = [](const Entry& a, const Entry& b) { return a.pathHash < b.pathHash; };
  if (!std::is_sorted(entries.begin(), entries.end(), byHash)) std::sort(entries.begin(), entries.end(), byHash);
  loadedEntries_ = std::move(entries);
  used_.assign(loadedEntries_.size(), false);
}

MetadataIndex::Entry* MetadataIndex::findLocked(std::uint64_t hash) {
  loadLocked();
  if (const auto stored = stored_.find(hash); stored != stored_.end()) return &stored->second;
  const auto found = std::lower_bound(loadedEntries_.begin(), loadedEntries_.end(), hash,
                                      [](const Entry& entry, std::uint64_t h) { return entry.pathHash < h; });
  if (found == loadedEntries_.end() || found->pathHash != hash) return nullptr;
  used_[static_cast<std::size_t>(found - loadedEntries_.begin())] = true;
  return &*found;
}

std::optional<ImageFacts> MetadataIndex::find(const std::string& relativePath, const FileStamp& stamp) {
  std::lock_guard lock(mutex_);
  const Entry* entry = findLocked(pathHash(relativePath));
  if (entry == nullptr || !(entry->stamp == stamp)) return std::nullopt;
  return entry->facts();
}

void MetadataIndex::keep(const std::string& relativePath) {
  std::lock_guard lock(mutex_);
  findLocked(pathHash(relativePath));
}

void MetadataIndex::store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts) {
  std::lock_guard lock(mutex_);
  loadLocked();
  const std::uint64_t hash = pathHash(relativePath);
  stored_[hash] = Entry::of(hash, stamp, facts);
  changed_ = true;
}

void MetadataIndex::save() {
  std::lock_guard lock(mutex_);
  if (path_.empty()) return;
  std::vector<const Entry*> kept;
  kept.reserve(loadedEntries_.size() + stored_.size());
  bool dropped = false;
  for (std::size_t i = 0; i < loadedEntries_.size(); ++i) {
    if (!used_[i]) {
      dropped = true;
    } else if (!stored_.contains(loadedEntries_[i].pathHash)) {
      kept.push_back(&loadedEntries_[i]);
    }
  }
  for (const auto& [_, entry] : stored_) kept.push_back(&entry);
  if (changed_ || dropped) {
    std::sort(kept.begin(), kept.end(), [](const Entry* a, const Entry* b) { return a->pathHash < b->pathHash; });
    std::string out(kMagic);
    out.reserve(kMagic.size() + kept.size() * kRecordSize);
    for (const Entry* entry : kept) {
      char record[kRecordSize];
      encode(Record{entry->pathHash, entry->stamp.size, entry->stamp.modifiedNanoseconds, entry->stamp.inode,
                    entry->stamp.changedNanoseconds, entry->width, entry->height, entry->capture, entry->flags,
                    static_cast<std::uint8_t>(entry->format)},
             record);
      out.append(record, kRecordSize);
    }
    replacePrivateFile(path_, out);  // a cache: failing to keep it costs only time
  }
  // Swapped out, not assigned "{}": that would clear them but keep their memory.
  std::vector<Entry>().swap(loadedEntries_);
  std::vector<bool>().swap(used_);
  std::unordered_map<std::uint64_t, Entry>().swap(stored_);
  loaded_ = false;
  changed_ = false;
}

}  // namespace shotsieve::folder
