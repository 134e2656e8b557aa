#include "output/local_time.h"

#include <mutex>

namespace shotsieve {

namespace {

std::mutex& zoneMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::time_t localTimeToInstant(std::tm local) {
  std::lock_guard lock(zoneMutex());
  return std::mktime(&local);
}

std::tm instantToLocalTime(std::time_t instant) {
  std::lock_guard lock(zoneMutex());
  std::tm local{};
  localtime_r(&instant, &local);
  return local;
}

}  // namespace shotsieve
