#include "watch/watch_handover.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "output/print.h"
#include "output/standard_output.h"
#include "photos/fnv1a.h"
#include "photos/folder/private_files.h"

namespace shotsieve {

namespace {

constexpr std::string_view kHeader = "shotsieve watch hand-over 2\n";
// Far more than any library's screenshots; what an earlier worker wrote is
// not trusted further than that (it read images too).
constexpr std::size_t kMostBytes = std::size_t{256} << 20;
constexpr std::size_t kKeyText = 32;  // two 64-bit halves in hex
constexpr std::size_t kUnsortedAtMost = 256;

WatchHandOver::Key keyOf(std::string_view id) {
  return {fnv1a(id), fnv1a(id, 0x84222325cbf29ce4ULL)};
}

std::string textOf(const WatchHandOver::Key& key) {
  char text[kKeyText + 1];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(key.first),
                static_cast<unsigned long long>(key.second));
  return std::string(text, kKeyText) + '\n';
}

std::optional<WatchHandOver::Key> keyOfText(std::string_view text) {
  WatchHandOver::Key key;
  if (text.size() != kKeyText) return std::nullopt;
  const auto half = [&](std::string_view hex, std::uint64_t& out) {
    const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), out, 16);
    return error == std::errc() && end == hex.data() + hex.size();
  };
  if (!half(text.substr(0, 16), key.first) || !half(text.substr(16), key.second)) return std::nullopt;
  return key;
}


}  // namespace

std::unique_ptr<WatchHandOver> WatchHandOver::ofThisProcess() {
  const char* variable = std::getenv(kWatchWorkerVariable);
  if (variable == nullptr) return nullptr;
  const std::string_view text(variable);
  int fd = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
  if (error != std::errc() || end != text.data() + text.size() || fd < 3 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    return nullptr;
  }
  std::unique_ptr<WatchHandOver> handOver(new WatchHandOver(UniqueFd(fd)));
  const std::string bytes = folder::readAtMost(fd, kMostBytes);
  if (bytes.empty()) return handOver;  // the first worker
  // Anything there was written by a worker that gave the reader its start
  // line: never a second one, even from a file torn or past its bound.
  handOver->resumed_ = true;
  if (!bytes.starts_with(kHeader)) return handOver;
  std::string_view rest = std::string_view(bytes).substr(kHeader.size());
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    if (const auto key = keyOfText(rest.substr(0, newline))) handOver->carried_.push_back(*key);
    if (newline == std::string_view::npos) break;
    rest.remove_prefix(newline + 1);
  }
  std::sort(handOver->carried_.begin(), handOver->carried_.end());
  return handOver;
}

bool WatchHandOver::knownLocked(const Key& key) const {
  const auto sorted = reported_.begin() + static_cast<std::ptrdiff_t>(reportedSorted_);
  return std::binary_search(carried_.begin(), carried_.end(), key) || std::binary_search(reported_.begin(), sorted, key) ||
         std::find(sorted, reported_.end(), key) != reported_.end();
}

bool WatchHandOver::toldBefore(std::string_view localIdentifier) const {
  return std::binary_search(carried_.begin(), carried_.end(), keyOf(localIdentifier));
}

bool WatchHandOver::reported(std::string_view localIdentifier) {
  std::lock_guard lock(mutex_);
  const Key key = keyOf(localIdentifier);
  if (knownLocked(key)) return false;
  reported_.push_back(key);
  if (reported_.size() - reportedSorted_ > kUnsortedAtMost) {
    std::sort(reported_.begin() + static_cast<std::ptrdiff_t>(reportedSorted_), reported_.end());
    std::inplace_merge(reported_.begin(), reported_.begin() + static_cast<std::ptrdiff_t>(reportedSorted_), reported_.end());
    reportedSorted_ = reported_.size();
  }
  return true;
}

void WatchHandOver::handOver() {
  std::lock_guard lock(mutex_);
  std::string text;
  // Without either the reader has seen nothing yet: the next worker starts
  // afresh. A resumed worker that hands over before its baseline passes on
  // what it was handed: else the next would write a second start line and
  // count what is new in its baseline instead of reporting it.
  if (baseline_ != nullptr || resumed_) {
    // Each key once: a baseline holds much of what was carried, and every
    // hand-over would otherwise add the library again.
    std::vector<Key> keys(carried_);
    keys.reserve(carried_.size() + (baseline_ ? baseline_->assets.size() : 0) + reported_.size());
    if (baseline_ != nullptr) {
      for (const auto& asset : baseline_->assets) keys.push_back(keyOf(asset.localIdentifier));
    }
    keys.insert(keys.end(), reported_.begin(), reported_.end());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    text.reserve(kHeader.size() + keys.size() * (kKeyText + 1));
    text = kHeader;
    for (const auto& key : keys) text += textOf(key);
  }
  const bool written = ::ftruncate(file_.get(), 0) == 0 && ::lseek(file_.get(), 0, SEEK_SET) == 0 &&
                       folder::writeAll(file_.get(), text);
  if (written) std::_Exit(kExitHandOver);
  // The supervisor must not start a worker that would report everything again.
  eprint(std::string("shotsieve: cannot hand the watch over to follow the library: ") + std::strerror(errno));
  std::_Exit(kExitOutputFailed);
}

}  // namespace shotsieve
