#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace shotsieve::folder {

// A few threads that read files while the walk goes on finding them. Jobs
// run in no set order; callers that need an order sort what they collect.
class ReadPool {
 public:
  // At most `threads` threads, started as jobs wait for one. 0: up to
  // defaultThreads(), past one a core only while jobs wait and none has
  // finished for a while (the threads wait on the disk, not on a core). 1
  // thread, or none that could be started: every job runs at once on the
  // caller's thread.
  explicit ReadPool(unsigned threads);
  // Runs every job submitted, then joins the threads.
  ~ReadPool();

  ReadPool(const ReadPool&) = delete;
  ReadPool& operator=(const ReadPool&) = delete;

  // Queues a job; waits while many are queued, so memory stays bounded.
  void submit(std::function<void()> job);

  // The number of threads an argument of 0 gives on this machine.
  static unsigned defaultThreads();

 private:
  using Clock = std::chrono::steady_clock;
  void work();
  // With mutex_ held: would a thread more get more done?
  bool wantsAnother(Clock::time_point now) const;
  // On the caller's thread; false when no thread could be started.
  bool startThread();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable room_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  unsigned idle_ = 0;  // threads waiting for a job
  unsigned most_;
  unsigned eager_;  // threads started whenever a job waits; the rest only when the pool stalls
  Clock::time_point lastFinished_ = Clock::now();  // or started
  std::vector<std::thread> threads_;  // started and joined on the caller's thread only
};

}  // namespace shotsieve::folder
