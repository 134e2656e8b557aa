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
  std::vector<bool> quiet;  // whether each look may take the file for finished
  for (int look = 0; look < 12; ++look) {
    const auto next = writers.nextDue();
    gaps.push_back(next - now);
    now = next;
    const auto due = writers.due(now);
    ASSERT_EQ(due.size(), 1u);
    quiet.push_back(due[0].quiet);
    writers.checked("s.png", 100, false, now);  // still 100 bytes, still not whole
  }
  EXPECT_EQ(gaps.front(), WriterTracker::kCheckEvery);
  EXPECT_GT(gaps[4], gaps[2]);
  EXPECT_EQ(gaps.back(), WriterTracker::kCheckAtMost);
  // Finished only once its size has held for the quiet period: not at the
  // looks 100 ms after the change and 100 ms after its size was first seen,
  // but at the one 300 ms after that.
  EXPECT_EQ(std::vector<bool>(quiet.begin(), quiet.begin() + 3), (std::vector<bool>{false, false, true}));
  // It grows again: looked at often once more, and not quiet.
  writers.changed("s.png", now);
  EXPECT_EQ(writers.nextDue() - now, WriterTracker::kCheckEvery);
  now += WriterTracker::kCheckEvery;
  const auto due = writers.due(now);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_FALSE(due[0].quiet);
  writers.checked("s.png", 200, false, now);
  EXPECT_EQ(writers.nextDue() - now, WriterTracker::kCheckEvery);
}

}  // namespace
}  // namespace shotsieve::folder
