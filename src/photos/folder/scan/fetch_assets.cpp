#include "photos/folder/scan/fetch_assets.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <system_error>
#include <mutex>
#include <unordered_set>

#include "photos/folder/metadata/read_pool.h"
#include "photos/folder/scan/file_assets.h"
#include "photos/folder/scan/known_selection.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/folder/scan/write_state.h"
#include "photos/folder/metadata/image_wholeness.h"

namespace shotsieve::folder {

namespace {

// A file that could not be opened for want of descriptors or memory was not
// looked at: the fetch has failed, it may not pass over the file.
void throwWhenOutOfResources() {
  if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) throw std::system_error(errno, std::generic_category());
}

// Files go to the pool a few dozen at a time: handing one over costs more
// than its status and, with the page cache warm, its read.
constexpr std::size_t kBatch = 32;

struct Candidate {
  const LibraryFile* file;
  FileStatus status;
  std::optional<ImageFacts> facts;
  bool read = false;
};

class Fetch {
 public:
  Fetch(MetadataIndex& index, const FetchOptions& options, const ReadSettings& settings, const FilesSeen& seen)
      : index_(index), options_(options), settings_(settings), seen_(seen) {}

  // The status, the index and, where the index cannot tell, the file of each
  // of a batch of files, on a pool thread. The index is taken once to look
  // the batch up and once to store what was read.
  void visit(const std::vector<LibraryFile>& files) {
    try {
      visitOrThrow(files);
    } catch (const std::exception& error) {  // on a pool thread or the walk's: either way the fetch says so
      failed(error);
    }
  }

  void failed(const std::exception& error) {
    std::lock_guard lock(resultMutex_);
    if (result_.failure.empty()) result_.failure = std::string("cannot read the library: ") + error.what();
  }

  FetchResult finish() && {
    result_.options = options_;
    std::sort(result_.assets.begin(), result_.assets.end(), [](const Asset& a, const Asset& b) {
      if (a.creationDate != b.creationDate) return a.creationDate > b.creationDate;
      return a.locator < b.locator;  // ties in path order, so runs and thread counts agree
    });
    if (linkedTwice_) {  // the names of one file share its identifier: the first in path order stays
      std::unordered_set<std::string> seen;
      std::erase_if(result_.assets, [&](const Asset& asset) { return !seen.insert(asset.localIdentifier).second; });
    }
    return std::move(result_);
  }

 private:
  void visitOrThrow(const std::vector<LibraryFile>& files) {
    const bool prefilter = options_.earliestCreationDate && settings_.datePrefilter == ReadSettings::DatePrefilter::on;
    std::vector<SeenFile> seen;
    FolderOutlooks outlooks;
    std::vector<const LibraryFile*> toLookAt;
    toLookAt.reserve(files.size());
    {
      // A file in a folder the last walk left as it is now, known from then
      // as one the fetch does not select, keeps what the index knows: it is
      // not looked at.
      std::optional<MetadataIndex::Held> held;
      for (const auto& file : files) {
        if (shortcuts() && file.folderUnchanged) {
          if (!held) held.emplace(index_.hold());
          const auto known = held->known(file.relativePath);
          if (known) {
            const FilesOutlook outlook = outlookOf(*known, file);
            if (outlookRulesOut(outlook, options_)) {
              if (seen_) seen.push_back({file.relativePath, known->stamp.inode, known->stamp.birthNanoseconds});
              outlooks.add(file.relativePath, outlook);
              continue;
            }
          }
        }
        toLookAt.push_back(&file);
      }
    }
    std::vector<Candidate> candidates;
    candidates.reserve(toLookAt.size());
    for (const LibraryFile* file : toLookAt) {
      const auto status = statusOfFile(*file);
      if (status && status->regular) {
        candidates.push_back({file, *status, std::nullopt});
      } else {
        outlooks.unknown(file->relativePath);  // vanished, or a link to no file
        // Gone since its folder was listed, perhaps renamed into a folder the
        // walk had read already: it was met under no name, and its entry must
        // not be let go of as a file's that is gone.
        if (!status) vanished_ = true;
      }
    }
    if (seen_) {
      for (const auto& c : candidates) {
        seen.push_back({c.file->relativePath, c.status.stamp.inode, c.status.stamp.birthNanoseconds});
      }
      seen_(std::move(seen));
    }
    {
      auto held = index_.hold();
      std::erase_if(candidates, [&](Candidate& c) {
        if (prefilter && fileTimesRuleOut(c.status, *options_.earliestCreationDate)) {
          held.keepAt(c.file->relativePath, c.status.stamp);  // still there: its facts serve an undated fetch later
          IndexEntry timesOnly;
          timesOnly.stamp = c.status.stamp;
          timesOnly.flags = IndexEntry::kNoFacts;
          outlooks.add(c.file->relativePath, outlookOf(timesOnly, *c.file));
          return true;
        }
        c.facts = held.find(c.file->relativePath, c.status.stamp, need(*c.file));
        return false;
      });
    }
    bool anyRead = false;
    for (auto& c : candidates) {
      if (c.facts) continue;
      c.facts = readFactsOf(*c.file, c.status, need(*c.file), settings_.depth);
      // A file that could not be opened is not remembered as no image: it is
      // looked at again next time. Out of descriptors, the fetch has failed.
      if (!c.facts) throwWhenOutOfResources();
      c.read = c.facts.has_value();
      anyRead = anyRead || c.read;
    }
    std::erase_if(candidates, [&](const Candidate& c) {
      if (c.facts) {
        outlooks.add(c.file->relativePath, outlookOf(IndexEntry::of(0, c.status.stamp, *c.facts), *c.file));
      } else {
        outlooks.unknown(c.file->relativePath);
      }
      return !c.facts;
    });
    if (anyRead) {
      auto held = index_.hold();
      for (const auto& c : candidates) {
        if (c.read) held.store(c.file->relativePath, c.status.stamp, *c.facts);
      }
    }
    std::vector<Asset> assets;
    bool linkedTwice = false;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
    for (const auto& c : candidates) {
      if (auto asset = assetOfFacts(*c.file, c.status, *c.facts, index_, &options_)) {
        // Not whole and written just now: still being written, no screenshot yet (the watch waits for it too).
        if (c.file->mediaType == kImageMediaType && mayStillBeWritten(c.status, now)) {
          const UniqueFd content = openContent(*c.file);
          if (!content) throwWhenOutOfResources();  // else it is gone or closed to us: no screenshot either way
          if (!imageFileLooksWhole(content.get())) continue;
        }
        // Two files of one content, where the content is what identifies a file, are one picture.
        linkedTwice = linkedTwice || c.status.links > 1 || c.status.stamp.fingerprinted;
        assets.push_back(std::move(*asset));
      }
    }
    std::lock_guard lock(resultMutex_);
    outlooks_.addAll(outlooks);
    linkedTwice_ = linkedTwice_ || linkedTwice;
    std::move(assets.begin(), assets.end(), std::back_inserter(result_.assets));
  }

 public:
  // Whether what the index knew may stand for a file not looked at again.
  bool shortcuts() const {
    return settings_.datePrefilter == ReadSettings::DatePrefilter::on && settings_.depth == ReadDepth::head;
  }
  // After the walk and its batches.
  const FolderOutlooks& outlooks() const { return outlooks_; }
  bool vanished() const { return vanished_; }

 private:
  Need need(const LibraryFile& file) const {
    return settings_.depth == ReadDepth::wholeFile ? Need::everything : needOf(file, options_);
  }

  MetadataIndex& index_;
  const FetchOptions& options_;
  const ReadSettings& settings_;
  const FilesSeen& seen_;
  std::mutex resultMutex_;
  FetchResult result_;
  bool linkedTwice_ = false;  // some file has more than one name: one asset, listed once
  FolderOutlooks outlooks_;
  std::atomic<bool> vanished_{false};  // a file listed was gone when looked at
};

}  // namespace

FolderFetch fetchAssets(const std::string& root, MetadataIndex& index, const FetchOptions& options,
                        const ReadSettings& settings, const FilesSeen& seen, FolderMemory* folders) {
  Fetch fetch(index, options, settings, seen);
  // A watch's baseline is told of the files of the folders passed over afterwards (FolderMemory::foldersPassedOver).
  if (folders != nullptr && fetch.shortcuts()) folders->passOverFilesFor(options);
  WalkOutcome walked{false, 0};
  try {
    // Read before the pool starts: readers waiting for it would look like
    // readers waiting on the disk, and the pool would grow for nothing.
    index.load();
    ReadPool pool(settings.threads);
    std::vector<LibraryFile> batch;
    const auto submit = [&] {
      pool.submit([&fetch, files = std::move(batch)] { fetch.visit(files); });
      batch = {};
    };
    // Each file holds its folder open, so that its status and its read on
    // another thread go through the folder, not the whole path again.
    walked = walkLibrary(root, options.mediaType, [&](const LibraryFile& file) {
      batch.push_back(file);
      batch.back().folderFd = -1;  // the walk's own handle closes with the walk
      if (batch.size() >= kBatch) submit();
    }, {}, FolderHandles::heldByFiles, folders);
    if (!batch.empty()) submit();
  } catch (const std::exception& error) {  // the pool has run every batch it took before it was left
    fetch.failed(error);
  }
  if (walked.failure != 0) fetch.failed(std::system_error(walked.failure, std::generic_category()));
  FolderFetch done{std::move(fetch).finish()};
  // Only a fetch that looked at every file it was given knows each folder's outlook whole.
  if (folders != nullptr && walked.failure == 0 && done.result.failure.empty()) {
    fetch.outlooks().keepIn(*folders, options.mediaType.value_or(0));
  }
  if (walked.whole && !fetch.vanished() && done.result.failure.empty()) {
    done.seen = !options.mediaType                       ? MetadataIndex::Seen::everyFile
                : *options.mediaType == kVideoMediaType ? MetadataIndex::Seen::everyVideo
                                                         : MetadataIndex::Seen::everyImage;
  }
  return done;
}

}  // namespace shotsieve::folder
