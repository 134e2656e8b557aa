#include "listing/export_runner.h"

#include <algorithm>

namespace shotsieve {

ExportRunner::ExportRunner(PhotoLibrary& library, const std::vector<Asset>& assets, const ExportDirectory& directory,
                           NetworkAccess networkAccess, std::chrono::milliseconds timeout, std::size_t inFlight,
                           Clock::time_point deadline)
    : library_(library),
      assets_(assets),
      directory_(directory),
      networkAccess_(networkAccess),
      timeout_(timeout),
      inFlight_(std::max<std::size_t>(1, inFlight)),
      deadline_(deadline) {
  const std::size_t threads = std::min(inFlight_, assets.size());
  closed_ = threads == 0;
  try {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
  } catch (const std::system_error&) {  // fewer threads, or only the caller's, still export everything
  }
  onCaller_ = threads_.empty() && !closed_;
}

ExportRunner::~ExportRunner() {
  stop();
  for (auto& thread : threads_) thread.join();
}

void ExportRunner::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    room_.wait(lock, [&] { return closed_ || started_ >= assets_.size() || started_ < handedBack_ + inFlight_; });
    if (closed_ || started_ >= assets_.size() || Clock::now() >= deadline_) {
      budgetSpent_ = budgetSpent_ || (!closed_ && started_ < assets_.size());
      closed_ = true;
      room_.notify_all();
      ready_.notify_one();
      return;
    }
    const std::size_t index = started_++;
    ahead_.emplace_back();
    lock.unlock();
    ExportResult result = exportOriginal(library_, assets_[index], directory_, networkAccess_, timeout_);
    lock.lock();
    ahead_[index - handedBack_] = std::move(result);
    if (index == handedBack_) ready_.notify_one();  // only the next result in order wakes the caller
  }
}

std::optional<ExportResult> ExportRunner::next() {
  if (onCaller_) return nextOnCaller();
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [&] { return (!ahead_.empty() && ahead_.front()) || (closed_ && ahead_.empty()); });
  if (ahead_.empty()) return std::nullopt;
  ExportResult result = std::move(*ahead_.front());
  ahead_.pop_front();
  ++handedBack_;
  room_.notify_one();
  return result;
}

std::optional<ExportResult> ExportRunner::nextOnCaller() {
  {
    std::lock_guard lock(mutex_);
    if (!closed_ && started_ < assets_.size() && Clock::now() >= deadline_) budgetSpent_ = true;
    if (closed_ || budgetSpent_ || started_ >= assets_.size()) {
      closed_ = true;
      return std::nullopt;
    }
    ++started_;
    ++handedBack_;
  }
  return exportOriginal(library_, assets_[started_ - 1], directory_, networkAccess_, timeout_);
}

void ExportRunner::stop() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  room_.notify_all();
  ready_.notify_one();
}

bool ExportRunner::budgetSpent() {
  std::lock_guard lock(mutex_);
  return budgetSpent_;
}

}  // namespace shotsieve
