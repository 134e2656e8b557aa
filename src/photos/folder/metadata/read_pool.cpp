#include "photos/folder/metadata/read_pool.h"

#include <algorithm>

namespace shotsieve::folder {

namespace {

// Enough queued reads to keep every thread busy while the walk stats more files.
constexpr std::size_t kMaxQueued = 1024;

}  // namespace

unsigned ReadPool::defaultThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 8u); }

ReadPool::ReadPool(unsigned threads) {
  if (threads == 0) threads = defaultThreads();
  if (threads == 1) return;
  threads_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

ReadPool::~ReadPool() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void ReadPool::submit(std::function<void()> job) {
  if (threads_.empty()) {
    job();
    return;
  }
  {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return jobs_.size() < kMaxQueued; });
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void ReadPool::work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
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
