#include "photos/folder/watch/writer_tracker.h"

#include <algorithm>

namespace shotsieve::folder {

void WriterTracker::changed(const std::string& relativePath, Clock::time_point now) {
  auto [writer, added] = writers_.try_emplace(relativePath);
  if (added) writer->second.firstSeen = now;
  writer->second.lastChange = now;
  writer->second.interval = kCheckEvery;
  if (!writer->second.checking) writer->second.nextCheck = now + kCheckEvery;
}

void WriterTracker::forget(const std::string& relativePath) { writers_.erase(relativePath); }

void WriterTracker::forgetBelow(const std::string& relativeFolder) {
  std::erase_if(writers_, [&](const auto& writer) {
    return relativeFolder.empty() || writer.first.starts_with(relativeFolder + "/");
  });
}

WriterTracker::Clock::time_point WriterTracker::nextDue() const {
  auto next = Clock::time_point::max();
  for (const auto& [_, writer] : writers_) {
    if (!writer.checking) next = std::min(next, writer.nextCheck);
  }
  return next;
}

std::vector<WriterTracker::Due> WriterTracker::due(Clock::time_point now) {
  std::vector<Due> due;
  for (auto it = writers_.begin(); it != writers_.end();) {
    Writer& writer = it->second;
    if (now - writer.firstSeen > kGiveUpAfter) {  // a writer that never finishes is given up on
      it = writers_.erase(it);
      continue;
    }
    if (!writer.checking && now >= writer.nextCheck) {
      writer.checking = true;
      due.push_back(Due{it->first, writer.size, now - writer.lastChange >= kQuietPeriod});
    }
    ++it;
  }
  return due;
}

void WriterTracker::checked(const std::string& relativePath, std::uint64_t size, bool finished, Clock::time_point now) {
  const auto found = writers_.find(relativePath);
  if (found == writers_.end()) return;
  if (finished) {
    writers_.erase(found);
    return;
  }
  Writer& writer = found->second;
  writer.checking = false;
  if (size != writer.size) {
    writer.size = size;
    writer.lastChange = now;
    writer.interval = kCheckEvery;
  } else {
    writer.interval = std::min<Clock::duration>(writer.interval * 2, kCheckAtMost);
  }
  writer.nextCheck = now + writer.interval;
}

}  // namespace shotsieve::folder
