#include "photos/folder/metadata/index_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "photos/folder/metadata/index_record.h"
#include "photos/folder/private_files.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

// Far more than a watch tells between two saves of the index.
constexpr std::size_t kMostJournalBytes = std::size_t{16} << 20;

std::string journalOf(const std::string& indexPath) { return indexPath + ".journal"; }

// Still the file at its name: not removed since it was opened.
bool linked(const UniqueFd& fd) {
  struct stat info;
  return fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink > 0;
}

// Never waits on a FIFO found at the name (a write-only open of one would
// wait for a reader, with the index's lock held).
UniqueFd openCreating(const std::string& path, int flags) {
  return UniqueFd(::open(path.c_str(), flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
}

}  // namespace

bool JournalWriter::lock() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::string path = indexLockPathOf(indexPath_);
    if (!lock_) lock_ = openCreating(path, O_RDWR);
    // Its folders are made only when they are missing.
    if (!lock_ && errno == ENOENT && makePrivateParentDirectories(indexPath_)) lock_ = openCreating(path, O_RDWR);
    if (!lock_) return false;
    while (::flock(lock_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return false;
    }
    if (linked(lock_)) return true;  // the lock the others take
    lock_.reset();
  }
  return false;
}

bool JournalWriter::append(const std::vector<IndexEntry>& entries) {
  if (indexPath_.empty() || entries.empty() || !lock()) return false;
  // A journal just opened under the lock is the one at its name; what is
  // not a regular file there is no journal.
  if (!linked(journal_)) {
    journal_ = openCreating(journalOf(indexPath_), O_WRONLY | O_APPEND);
    if (!linked(journal_)) journal_.reset();
  }
  std::string records(entries.size() * kIndexRecordSize, '\0');
  for (std::size_t i = 0; i < entries.size(); ++i) encodeIndexRecord(entries[i], records.data() + i * kIndexRecordSize);
  const bool written = journal_ && writeAll(journal_.get(), records);
  ::flock(lock_.get(), LOCK_UN);
  return written;
}

std::vector<IndexEntry> readJournal(const std::string& indexPath) {
  std::vector<IndexEntry> entries;
  if (indexPath.empty()) return entries;
  const std::string bytes = readRegularFile(journalOf(indexPath), kMostJournalBytes, O_NOFOLLOW);
  for (std::size_t at = 0; at + kIndexRecordSize <= bytes.size(); at += kIndexRecordSize) {
    const auto entry = decodeIndexRecord(bytes.data() + at);
    if (!entry) break;  // a writer killed in the middle of its record, or damage: nothing after it is trusted
    entries.push_back(*entry);
  }
  return entries;
}

void emptyJournal(const std::string& indexPath) {
  if (indexPath.empty()) return;
  const UniqueFd fd(::open(journalOf(indexPath).c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd) (void)!::ftruncate(fd.get(), 0);
}

std::vector<IndexEntry> overlaid(std::vector<IndexEntry> base, const std::vector<IndexEntry>& newer) {
  if (newer.empty()) return base;
  std::unordered_map<std::uint64_t, const IndexEntry*> latest;
  for (const auto& entry : newer) latest[entry.pathHash] = &entry;
  for (auto& entry : base) {
    if (const auto found = latest.find(entry.pathHash); found != latest.end()) {
      entry = *found->second;
      latest.erase(found);
    }
  }
  for (const auto& [_, entry] : latest) base.push_back(*entry);
  std::sort(base.begin(), base.end(), [](const IndexEntry& a, const IndexEntry& b) { return a.pathHash < b.pathHash; });
  return base;
}

}  // namespace shotsieve::folder
