#include "photos/folder/metadata_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

namespace shotsieve::folder {

namespace {

constexpr std::string_view kMagic = "shotsieve metadata index 1\n";

enum Flags : std::uint8_t { kHeaderRead = 1, kHasCapture = 2, kFavorite = 4, kMarked = 8 };

template <typename T>
void put(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

struct Reader {
  std::string_view data;
  template <typename T>
  bool get(T& value) {
    if (data.size() < sizeof value) return false;
    std::memcpy(&value, data.data(), sizeof value);
    data.remove_prefix(sizeof value);
    return true;
  }
  bool get(std::string& text, std::uint32_t length) {
    if (data.size() < length) return false;
    text.assign(data.substr(0, length));
    data.remove_prefix(length);
    return true;
  }
};

bool makeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

MetadataIndex::MetadataIndex(std::string path) : path_(std::move(path)) {}

void MetadataIndex::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (path_.empty()) return;
  std::ifstream file(path_, std::ios::binary);
  if (!file) return;
  const std::string data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (!data.starts_with(kMagic)) return;
  Reader reader{std::string_view(data).substr(kMagic.size())};
  std::unordered_map<std::string, Entry> entries;
  while (!reader.data.empty()) {
    std::uint32_t length = 0;
    std::string relativePath;
    Entry entry;
    std::uint8_t flags = 0;
    double capture = 0;
    if (!reader.get(length) || length > 65536 || !reader.get(relativePath, length) ||
        !reader.get(entry.stamp.size) || !reader.get(entry.stamp.modifiedNanoseconds) ||
        !reader.get(entry.stamp.inode) || !reader.get(flags) || !reader.get(entry.facts.width) ||
        !reader.get(entry.facts.height) || !reader.get(capture)) {
      return;  // damaged: start afresh
    }
    entry.facts.headerRead = flags & kHeaderRead;
    entry.facts.favorite = flags & kFavorite;
    entry.facts.markedScreenshot = flags & kMarked;
    if (flags & kHasCapture) entry.facts.captureDate = capture;
    entries.emplace(std::move(relativePath), std::move(entry));
  }
  entries_ = std::move(entries);
}

std::optional<ImageFacts> MetadataIndex::find(const std::string& relativePath, const FileStamp& stamp) {
  std::lock_guard lock(mutex_);
  loadLocked();
  const auto found = entries_.find(relativePath);
  if (found == entries_.end() || !(found->second.stamp == stamp)) return std::nullopt;
  found->second.used = true;
  return found->second.facts;
}

void MetadataIndex::store(const std::string& relativePath, const FileStamp& stamp, const ImageFacts& facts) {
  std::lock_guard lock(mutex_);
  loadLocked();
  entries_[relativePath] = Entry{stamp, facts, true};
  changed_ = true;
}

void MetadataIndex::save() {
  std::lock_guard lock(mutex_);
  if (path_.empty()) return;
  std::size_t unused = 0;
  for (const auto& [_, entry] : entries_) unused += entry.used ? 0 : 1;
  const bool write = changed_ || unused > 0;
  std::unordered_map<std::string, Entry> entries;
  entries.swap(entries_);
  loaded_ = false;
  changed_ = false;
  if (!write) return;
  std::string out(kMagic);
  for (auto& [relativePath, entry] : entries) {
    if (!entry.used) continue;
    const auto& facts = entry.facts;
    const std::uint8_t flags = (facts.headerRead ? kHeaderRead : 0) | (facts.captureDate ? kHasCapture : 0) |
                               (facts.favorite ? kFavorite : 0) | (facts.markedScreenshot ? kMarked : 0);
    put(out, static_cast<std::uint32_t>(relativePath.size()));
    out += relativePath;
    put(out, entry.stamp.size);
    put(out, entry.stamp.modifiedNanoseconds);
    put(out, entry.stamp.inode);
    put(out, flags);
    put(out, facts.width);
    put(out, facts.height);
    put(out, facts.captureDate.value_or(0.0));
  }
  entries.clear();
  if (!makeDirectories(path_)) return;
  // A private temporary name per writer, so that concurrent runs never share one.
  const std::string temporary = path_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(std::random_device{}());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string_view rest = out;
  bool ok = true;
  while (ok && !rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    ok = written > 0;
    if (ok) rest.remove_prefix(static_cast<std::size_t>(written));
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), path_.c_str()) != 0) ::unlink(temporary.c_str());
}

}  // namespace shotsieve::folder
