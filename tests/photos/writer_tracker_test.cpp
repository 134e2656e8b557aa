#include <gtest/gtest.h>

#include "photos/folder/watch/writer_tracker.h"

namespace shotsieve::folder {
namespace {

using namespace std::chrono_literals;

// A file closed before it is whole is looked at again, but a file that has
// stopped changing is looked at ever less often: an abandoned half-written
// screenshot must not keep an idle watch busy for the ten minutes it is kept.
TEST(WriterTracker, AFileThatStopsChangingIsLookedAtLessAndLessOften) {
  WriterTracker writers;
  auto now = WriterTracker::Clock::time_point{} + 1h;
  writers.changed("s.png", now);
  std::vector<WriterTracker::Clock::duration> gaps;
  for (int look = 0; look < 12; ++look) {
    const auto next = writers.nextDue();
    gaps.push_back(next - now);
    now = next;
    const auto due = writers.due(now);
    ASSERT_EQ(due.size(), 1u);
    writers.checked("s.png", 100, false, now);  // still 100 bytes, still not whole
  }
  EXPECT_EQ(gaps.front(), WriterTracker::kCheckEvery);
  EXPECT_GT(gaps[4], gaps[2]);
  EXPECT_EQ(gaps.back(), WriterTracker::kCheckAtMost);
  // It grows again: looked at often once more.
  writers.changed("s.png", now);
  EXPECT_EQ(writers.nextDue() - now, WriterTracker::kCheckEvery);
  now += WriterTracker::kCheckEvery;
  ASSERT_EQ(writers.due(now).size(), 1u);
  writers.checked("s.png", 200, false, now);
  EXPECT_EQ(writers.nextDue() - now, WriterTracker::kCheckEvery);
}

}  // namespace
}  // namespace shotsieve::folder
