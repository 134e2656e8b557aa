#include "photos/folder/watch/file_inserter.h"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "photos/folder/scan/file_assets.h"
#include "photos/folder/watch/wake_descriptor.h"
#include "photos/no_link_open.h"

namespace shotsieve::folder {

namespace {

struct Root {
  std::string path;
  std::uint64_t generation = 0;
};

}  // namespace

struct FileInserter::State {
  MetadataIndex& index;
  UniqueFd wake;
  std::mutex mutex;
  std::condition_variable work;
  std::shared_ptr<const Root> root;
  std::deque<std::pair<Candidate, std::shared_ptr<const Root>>> queue;
  std::vector<Outcome> done;
  bool stopping = false;
  unsigned running = 0;
  unsigned looking = 0;  // threads in a look

  explicit State(MetadataIndex& metadataIndex) : index(metadataIndex) {}

  Outcome look(const Candidate& candidate, const Root& root) {
    Outcome outcome(candidate.relativePath);
    outcome.check = candidate.lastSize.has_value();
    const auto slash = candidate.relativePath.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : candidate.relativePath.substr(0, slash);
    const std::string name = candidate.relativePath.substr(slash == std::string::npos ? 0 : slash + 1);
    UniqueFd folderFd(::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd && !folder.empty()) folderFd = openBeneath(folderFd.get(), folder, O_RDONLY | O_DIRECTORY);
    if (!folderFd) return outcome;
    // One status for a regular file; a link's target is asked for its own.
    const auto here = statusInFolder(folderFd.get(), name);
    if (!here || (!here->regular && !here->link)) return outcome;
    const auto file = libraryFileIn(folderFd.get(), root.path, folder, name, here->link);
    if (!file) return outcome;
    const auto status = here->link ? statusOfFile(*file) : here;
    if (!status || !status->regular) return outcome;  // gone, or a link to no file
    outcome.size = status->stamp.size;
    outcome.kind = Outcome::Kind::notYet;
    // A writer seen growing is finished once its size has held for the quiet period.
    if (candidate.lastSize && (!candidate.quiet || *candidate.lastSize != status->stamp.size)) return outcome;
    // Opened once, for the facts and the wholeness both.
    const UniqueFd content = openContent(*file);
    FileLook look = lookAtFile(*file, *status, index, content.get());
    if (!look.asset) {
      outcome.kind = Outcome::Kind::noAsset;
      return outcome;
    }
    // A corrupt or unfinished image is not an asset yet; a later event may complete it.
    if (file->mediaType == kImageMediaType && (!look.facts.headerRead || !content || !look.whole)) return outcome;
    outcome.asset = std::move(look.asset);
    outcome.kind = Outcome::Kind::asset;
    outcome.key = FileKey{status->stamp.inode, status->stamp.birthNanoseconds};
    return outcome;
  }

  Outcome lookOrLeaveOut(const Candidate& candidate, const Root& root) {
    try {
      return look(candidate, root);
    } catch (const std::exception&) {  // out of memory: that file is left out, not the watch
      Outcome outcome(candidate.relativePath);
      outcome.check = candidate.lastSize.has_value();
      return outcome;
    }
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      work.wait(lock, [&] { return stopping || !queue.empty(); });
      if (stopping) break;
      auto [candidate, root] = std::move(queue.front());
      queue.pop_front();
      ++looking;
      lock.unlock();
      Outcome outcome = lookOrLeaveOut(candidate, *root);
      lock.lock();
      --looking;
      if (this->root != root) continue;  // the library moved meanwhile
      done.push_back(std::move(outcome));
      // Told with the lock let go: the watcher it wakes takes the lock at once.
      lock.unlock();
      const std::uint64_t one = 1;
      (void)!::write(wake.get(), &one, sizeof one);
      lock.lock();
    }
    --running;
    work.notify_all();
  }
};

FileInserter::FileInserter(MetadataIndex& index) : state_(std::make_shared<State>(index)) {
  state_->wake = wakeDescriptor();
  for (unsigned i = 0; i < kThreads; ++i) {
    try {
      std::thread([state = state_] { state->run(); }).detach();
      std::lock_guard lock(state_->mutex);
      ++state_->running;
    } catch (const std::system_error&) {  // fewer threads still do the work
      if (i == 0) throw;
    }
  }
}

FileInserter::~FileInserter() {
  std::unique_lock lock(state_->mutex);
  state_->stopping = true;
  state_->work.notify_all();
  // A look stuck on a dead mount is not waited for: its thread holds its own share of the state.
  state_->work.wait_for(lock, std::chrono::seconds(2), [&] { return state_->running == 0; });
}

void FileInserter::attach(std::string resolvedRoot) {
  std::lock_guard lock(state_->mutex);
  const std::uint64_t generation = state_->root ? state_->root->generation + 1 : 1;
  state_->root = std::make_shared<const Root>(Root{std::move(resolvedRoot), generation});
  state_->queue.clear();
  state_->done.clear();
}

void FileInserter::offer(Candidate candidate) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->root || state_->root->path.empty()) return;
    state_->queue.emplace_back(std::move(candidate), state_->root);
  }
  state_->work.notify_one();  // after the lock, which the thread woken takes first
}

bool FileInserter::lookHere(const Candidate& candidate) {
  std::shared_ptr<const Root> root;
  {
    std::lock_guard lock(state_->mutex);
    // Behind a look queued or under way, this one waits its turn: outcomes of one file come in order.
    if (!state_->root || state_->root->path.empty() || !state_->queue.empty() || state_->looking > 0) return false;
    root = state_->root;
  }
  Outcome outcome = state_->lookOrLeaveOut(candidate, *root);
  std::lock_guard lock(state_->mutex);
  if (state_->root == root) state_->done.push_back(std::move(outcome));
  return true;
}

int FileInserter::descriptor() const { return state_->wake.get(); }

std::vector<FileInserter::Outcome> FileInserter::take() {
  std::lock_guard lock(state_->mutex);
  std::vector<Outcome> outcomes;
  outcomes.swap(state_->done);
  return outcomes;
}

}  // namespace shotsieve::folder
