#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "export/export_original.h"

namespace shotsieve {

// Exports the assets in fetch order on a few threads of its own and hands the
// results back in that order. At most `inFlight` results are ahead of the one
// handed back last, so memory stays bounded and the exports of one moment
// reach the disk together. No export starts once the deadline has passed or
// stop() was called; those under way are finished and handed back, so the
// results are always those of the first assets. Where no thread can be had
// (a host's process limit), the exports run one by one on the caller's.
class ExportRunner {
 public:
  using Clock = std::chrono::steady_clock;

  ExportRunner(PhotoLibrary& library, const std::vector<Asset>& assets, const ExportDirectory& directory,
               NetworkAccess networkAccess, std::chrono::milliseconds timeout, std::size_t inFlight,
               Clock::time_point deadline);
  // Stops and joins the threads.
  ~ExportRunner();
  ExportRunner(const ExportRunner&) = delete;
  ExportRunner& operator=(const ExportRunner&) = delete;

  // The next result, in fetch order; nothing once every export started has
  // been handed back and no more will start.
  std::optional<ExportResult> next();
  void stop();
  // True when the deadline kept an export from starting.
  bool budgetSpent();

 private:
  void work();
  // Without a thread of its own: the next export, on the caller's thread.
  std::optional<ExportResult> nextOnCaller();

  PhotoLibrary& library_;
  const std::vector<Asset>& assets_;
  const ExportDirectory& directory_;
  const NetworkAccess networkAccess_;
  const std::chrono::milliseconds timeout_;
  const std::size_t inFlight_;
  const Clock::time_point deadline_;

  std::mutex mutex_;
  std::condition_variable room_;   // for the threads: an export may start, or none will
  std::condition_variable ready_;  // for the caller: the next result is there, or none will come
  std::size_t started_ = 0;
  std::size_t handedBack_ = 0;
  std::deque<std::optional<ExportResult>> ahead_;  // results of started_ - handedBack_ exports, in order
  bool closed_ = false;                             // no export starts any more
  bool budgetSpent_ = false;
  bool onCaller_ = false;  // no thread could be started: each export runs in next()
  std::vector<std::thread> threads_;
};

}  // namespace shotsieve
