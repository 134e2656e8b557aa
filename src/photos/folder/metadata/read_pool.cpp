#include "photos/folder/metadata/read_pool.h"

#include <system_error>

namespace shotsieve::folder {

namespace {

// Enough queued jobs to keep every thread busy while the walk finds more; a
// job may hold its folder open, so not so many that handles run short.
constexpr std::size_t kMaxQueued = 32;

}  // namespace

// Reads wait on the disk far more than they use a core, so more reads in
// flight than cores keeps a cold disk busy; eight measured best.
unsigned ReadPool::defaultThreads() { return 8; }

ReadPool::ReadPool(unsigned threads) : most_(threads == 0 ? defaultThreads() : threads) {}

ReadPool::~ReadPool() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void ReadPool::submit(std::function<void()> job) {
  bool another = false;
  {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return jobs_.size() < kMaxQueued; });
    // A thread more only when a job would wait: a warm page cache keeps up with a few.
    another = idle_ == 0 && threads_.size() < most_ && most_ > 1;
    if (!another && threads_.empty()) {
      lock.unlock();
      job();  // one thread asked for, or none could be started: the caller's own
      return;
    }
    jobs_.push_back(std::move(job));
  }
  if (another) {
    try {
      threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      most_ = static_cast<unsigned>(threads_.size());  // out of threads (a host's limit, say): carry on with these
      if (threads_.empty()) {
        std::function<void()> queued;
        {
          std::lock_guard lock(mutex_);
          queued = std::move(jobs_.back());
          jobs_.pop_back();
        }
        queued();
        return;
      }
    }
  }
  wake_.notify_one();
}

void ReadPool::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
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
