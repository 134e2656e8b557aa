#include "photos/folder/metadata/read_pool.h"

#include <algorithm>
#include <system_error>

namespace shotsieve::folder {

namespace {

// Enough queued jobs to keep every thread busy while the walk finds more; a
// job may hold its folder open, so not so many that handles run short.
constexpr std::size_t kMaxQueued = 32;
// No job finished for this long while jobs wait: the threads wait on the disk.
// A batch the index answers takes a fraction of it; one parsed from the page
// cache may not, and there more threads neither helped nor hurt.
constexpr auto kStalled = std::chrono::milliseconds(1);

}  // namespace

// Reads wait on the disk far more than they use a core, so more reads in
// flight than cores keeps a cold disk busy; eight measured best.
unsigned ReadPool::defaultThreads() { return 8; }

// More threads than cores only slow work the page cache serves (a tenth
// slower listing with eight on two cores), so those start only on a stall.
ReadPool::ReadPool(unsigned threads)
    : most_(threads == 0 ? defaultThreads() : threads),
      eager_(threads == 0 ? std::clamp(std::thread::hardware_concurrency(), 1u, most_) : most_) {}

ReadPool::~ReadPool() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) thread.join();
}

bool ReadPool::wantsAnother(Clock::time_point now) const {
  // A thread more only when a job would wait: a warm page cache keeps up with a few.
  if (idle_ != 0 || threads_.size() >= most_ || most_ <= 1) return false;
  return threads_.size() < eager_ || now - lastFinished_ > kStalled;
}

bool ReadPool::startThread() {
  try {
    threads_.emplace_back([this] { work(); });
    return true;
  } catch (const std::system_error&) {
    std::lock_guard lock(mutex_);
    most_ = static_cast<unsigned>(threads_.size());  // out of threads (a host's limit, say): carry on with these
    return false;
  }
}

void ReadPool::submit(std::function<void()> job) {
  bool another = false;
  {
    std::unique_lock lock(mutex_);
    // A full queue whose threads all wait on the disk gets another thread.
    while (!room_.wait_for(lock, kStalled, [&] { return jobs_.size() < kMaxQueued; })) {
      if (!wantsAnother(Clock::now())) continue;
      lock.unlock();
      startThread();
      lock.lock();
    }
    another = wantsAnother(Clock::now());
    if (!another && threads_.empty()) {
      lock.unlock();
      job();  // one thread asked for, or none could be started: the caller's own
      return;
    }
    jobs_.push_back(std::move(job));
  }
  if (another && !startThread() && threads_.empty()) {
    std::function<void()> queued;
    {
      std::lock_guard lock(mutex_);
      queued = std::move(jobs_.back());
      jobs_.pop_back();
    }
    queued();
    return;
  }
  wake_.notify_one();
}

void ReadPool::work() {
  for (bool finished = false;; finished = true) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      if (finished) lastFinished_ = Clock::now();
      ++idle_;
      wake_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) return;  // closing, and nothing left to do
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    room_.notify_one();
    try {
      job();
    } catch (...) {  // a read that failed for lack of memory leaves that file out, not the process
    }
  }
}

}  // namespace shotsieve::folder
