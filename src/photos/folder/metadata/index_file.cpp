#include "photos/folder/metadata/index_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "photos/file_time.h"
#include "photos/folder/metadata/index_record.h"
#include "photos/folder/private_files.h"
#include "photos/present_pages.h"
#include "photos/writer_debris.h"

namespace shotsieve::folder {

namespace {

constexpr std::string_view kMagic = "shotsieve metadata index 6\n";
// The version before each record carried its checksum: read once, then rewritten.
constexpr std::string_view kUncheckedMagic = "shotsieve metadata index 5\n";

// Larger than any real index (300,000 files take about 30 MiB); a bigger file is not ours.
constexpr std::size_t kMaxIndexBytes = std::size_t{1} << 30;

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

IndexFileContents readIndexFileAt(const UniqueFd& fd);

IndexFileVersion versionOf(const struct stat& info) {
  return IndexFileVersion{info.st_dev, info.st_ino, static_cast<std::uint64_t>(info.st_size),
                          fileNanoseconds(info.st_mtim)};
}

}  // namespace

ImageFacts IndexEntry::facts() const {
  ImageFacts facts;
  facts.format = format;
  facts.width = width;
  facts.height = height;
  facts.headerRead = flags & kHeaderRead;
  facts.favorite = flags & kFavorite;
  facts.markedScreenshot = flags & kMarked;
  facts.marksOnly = flags & kMarksOnly;
  facts.marksUnread = flags & kMarksUnread;
  if (flags & kHasCapture) facts.captureDate = capture;
  return facts;
}

IndexEntry IndexEntry::of(std::uint64_t hash, const FileStamp& stamp, const ImageFacts& facts) {
  const auto clamp = [](std::int64_t size) { return static_cast<std::int32_t>(std::clamp<std::int64_t>(size, 0, INT32_MAX)); };
  IndexEntry entry;
  entry.pathHash = hash;
  entry.stamp = stamp;
  entry.width = clamp(facts.width);
  entry.height = clamp(facts.height);
  entry.capture = facts.captureDate.value_or(0.0);
  entry.format = facts.format;
  entry.flags = (facts.headerRead ? kHeaderRead : 0) | (facts.captureDate ? kHasCapture : 0) |
                (facts.favorite ? kFavorite : 0) | (facts.markedScreenshot ? kMarked : 0) |
                (facts.marksOnly ? kMarksOnly : 0) | (facts.marksUnread ? kMarksUnread : 0);
  return entry;
}

std::optional<IndexFileVersion> indexFileVersion(const std::string& path) {
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return std::nullopt;
  return versionOf(info);
}

std::optional<IndexFileContents> readIndexFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return std::nullopt;
  return readIndexFileAt(fd);
}

IndexFileContents IndexFileSearch::readWhole() const {
  ::lseek(fd_.get(), 0, SEEK_SET);
  return readIndexFileAt(fd_);
}

namespace {

IndexFileContents readIndexFileAt(const UniqueFd& fd) {
  IndexFileContents contents;
  struct stat info;
  char magic[kMagic.size()];
  static_assert(kMagic.size() == kUncheckedMagic.size());
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > kMaxIndexBytes ||
      static_cast<std::size_t>(info.st_size) < kMagic.size() || !readFully(fd.get(), magic, sizeof magic)) {
    contents.mended = true;
    return contents;  // foreign or torn: empty, and rebuilt
  }
  const bool checked = std::string_view(magic, sizeof magic) == kMagic;
  const std::size_t recordSize = checked ? kIndexRecordSize : kUncheckedRecordSize;
  const std::size_t body = static_cast<std::size_t>(info.st_size) - kMagic.size();
  if ((!checked && std::string_view(magic, sizeof magic) != kUncheckedMagic) || body % recordSize != 0) {
    contents.mended = true;
    return contents;
  }
  contents.version = versionOf(info);
  contents.mended = !checked;  // the old form is written anew
  std::size_t left = body / recordSize;
  contents.entries.reserve(left);
  std::vector<char> chunk(recordSize * 4096);
  while (left > 0) {
    const std::size_t records = std::min<std::size_t>(left, 4096);
    // A chunk's pages at once, not the whole at the start: a damaged file's
    // records are dropped, and memory follows the entries kept.
    makePresent(contents.entries.data() + contents.entries.size(), records * sizeof(IndexEntry));
    if (!readFully(fd.get(), chunk.data(), records * recordSize)) return IndexFileContents{{}, {}, true};  // shrank while read
    for (std::size_t i = 0; i < records; ++i) {
      const char* record = chunk.data() + i * recordSize;
      if (auto entry = checked ? decodeIndexRecord(record) : decodeUncheckedIndexRecord(record)) {
        contents.entries.push_back(*entry);
      } else {
        contents.mended = true;  // that file is read again, and the index written back whole
      }
    }
    left -= records;
  }
  // Written sorted; a file that is not is still usable once sorted.
  const auto byHash = [](const IndexEntry& a, const IndexEntry& b) { return a.pathHash < b.pathHash; };
  if (!std::is_sorted(contents.entries.begin(), contents.entries.end(), byHash)) {
    std::sort(contents.entries.begin(), contents.entries.end(), byHash);
  }
  return contents;
}

}  // namespace

std::optional<IndexFileSearch> IndexFileSearch::open(const std::string& path) {
  if (path.empty()) return std::nullopt;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat info;
  char magic[kMagic.size()];
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) > kMaxIndexBytes || static_cast<std::size_t>(info.st_size) < kMagic.size() ||
      ::pread(fd.get(), magic, sizeof magic, 0) != static_cast<ssize_t>(sizeof magic) ||
      std::string_view(magic, sizeof magic) != kMagic) {
    return std::nullopt;
  }
  const std::size_t body = static_cast<std::size_t>(info.st_size) - kMagic.size();
  if (body % kIndexRecordSize != 0) return std::nullopt;
  return IndexFileSearch(std::move(fd), body / kIndexRecordSize, versionOf(info));
}

std::uint64_t IndexFileSearch::hashAt(std::size_t entry, bool& ok) const {
  std::uint64_t hash = 0;  // the first word of a record
  ok = ::pread(fd_.get(), &hash, sizeof hash, static_cast<off_t>(kMagic.size() + entry * kIndexRecordSize)) ==
       static_cast<ssize_t>(sizeof hash);
  return hash;
}

std::optional<IndexEntry> IndexFileSearch::find(std::uint64_t hash, bool& damaged) const {
  // Bisection on the records' first words down to a block, read at once. A
  // damaged word on the way can only lose the entry: the file is read again.
  constexpr std::size_t kBlock = 64;
  std::size_t low = 0, high = entries_;
  while (high - low > kBlock) {
    const std::size_t middle = low + (high - low) / 2;
    bool ok = false;
    const std::uint64_t there = hashAt(middle, ok);
    if (!ok) return std::nullopt;
    if (there < hash) {
      low = middle + 1;
    } else {
      high = middle + 1;  // the entry, if there, is at `middle` or before
    }
  }
  std::vector<char> block((high - low) * kIndexRecordSize);
  if (block.empty() || ::pread(fd_.get(), block.data(), block.size(), static_cast<off_t>(kMagic.size() + low * kIndexRecordSize)) !=
                           static_cast<ssize_t>(block.size())) {
    return std::nullopt;
  }
  for (std::size_t at = 0; at < block.size(); at += kIndexRecordSize) {
    std::uint64_t there;
    std::memcpy(&there, block.data() + at, sizeof there);
    if (there != hash) continue;
    auto entry = decodeIndexRecord(block.data() + at);
    if (!entry || entry->pathHash != hash) {
      damaged = true;
      return std::nullopt;
    }
    return entry;
  }
  return std::nullopt;
}

IndexFileWriter::IndexFileWriter(std::string path) : path_(std::move(path)) {
  // A name of this writer's own beside the index, renamed over it at the end.
  temporary_ = temporaryNameBeside(path_);
  fd_.reset(::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  failed_ = !fd_;
  buffer_.reserve(kIndexRecordSize * 4096);
  buffer_ = kMagic;
}

IndexFileWriter::~IndexFileWriter() {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void IndexFileWriter::add(const IndexEntry& entry) {
  char record[kIndexRecordSize];
  encodeIndexRecord(entry, record);
  buffer_.append(record, kIndexRecordSize);
  if (buffer_.size() >= kIndexRecordSize * 4096) flush();
}

void IndexFileWriter::flush() {
  if (!failed_ && !writeAll(fd_.get(), buffer_)) failed_ = true;
  buffer_.clear();
}

bool IndexFileWriter::commit() {
  flush();
  const bool written = !failed_ && syncedForRename(fd_.get()) && fd_.close();
  if (!written || ::rename(temporary_.c_str(), path_.c_str()) != 0) return false;
  temporary_.clear();
  return true;
}

IndexFileLock::IndexFileLock(const std::string& indexPath) {
  fd_.reset(::open(indexLockPathOf(indexPath).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd_) {
    while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

// The first entry whose hash is not below `hash`. Path hashes spread evenly,
// so the place is guessed from the hash and the search starts there: a few
// probes instead of a bisection's twenty cache misses.
std::vector<IndexEntry>::const_iterator entryAtOrAfter(const std::vector<IndexEntry>& entries, std::uint64_t hash) {
  const auto below = [](const IndexEntry& entry, std::uint64_t h) { return entry.pathHash < h; };
  if (entries.size() < 64) return std::lower_bound(entries.begin(), entries.end(), hash, below);
  const auto guess = static_cast<std::size_t>(static_cast<double>(hash) / 18446744073709551616.0 *
                                              static_cast<double>(entries.size()));
  std::size_t low = std::min(guess, entries.size() - 1), high = low + 1;
  for (std::size_t step = 16; low > 0 && entries[low].pathHash >= hash; step *= 2) low = low > step ? low - step : 0;
  for (std::size_t step = 16; high < entries.size() && entries[high - 1].pathHash < hash; step *= 2) {
    high = std::min(entries.size(), high + step);
  }
  return std::lower_bound(entries.begin() + static_cast<std::ptrdiff_t>(low), entries.begin() + static_cast<std::ptrdiff_t>(high),
                          hash, below);
}

}  // namespace shotsieve::folder
