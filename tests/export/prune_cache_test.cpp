#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "export/prune_cache.h"
#include "image_fixtures.h"
#include "scratch_dir.h"

namespace shotsieve {
namespace {

using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

// Sets an entry's own modification time (a link's, not its target's) to now - age.
void age(const std::string& path, std::chrono::seconds ago) {
  const auto when = std::chrono::system_clock::now() - ago;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  const timespec times[2] = {{0, UTIME_OMIT}, {ns / 1000000000, ns % 1000000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

constexpr std::chrono::seconds kDay{86400};

TEST(PruneCache, RemovesWhatIsOlderThanTheCutOff) {
  ScratchDir dir;
  const auto make = [&](const std::string& name, std::chrono::seconds ago) {
    shotsieve::testing::writeFile(dir / name, "x");
    age(dir / name, ago);
  };
  make("old.png", 14 * kDay + std::chrono::seconds(1));
  make("young.png", 14 * kDay - std::chrono::hours(1));
  make("x.png.1-2.part", 20 * kDay);
  make(".hidden", 20 * kDay);
  shotsieve::testing::writeFile(dir / "../outside-target", "keep me");
  fs::create_symlink(dir / "../outside-target", dir / "link");
  age(dir / "link", 30 * kDay);
  pruneCache(dir.path(), 14);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"young.png"});
  EXPECT_EQ(shotsieve::testing::readFile(dir / "../outside-target"), "keep me");
  fs::remove(dir / "../outside-target");
}

TEST(PruneCache, FoldersGoOnlyWhenNothingInsideIsRecent) {
  ScratchDir dir;
  fs::create_directories(dir / "stale/deeper");
  fs::create_directories(dir / "inuse/deeper");
  shotsieve::testing::writeFile(dir / "stale/deeper/a", "");
  shotsieve::testing::writeFile(dir / "inuse/deeper/recent", "");
  for (const char* path : {"stale/deeper/a", "stale/deeper", "stale", "inuse/deeper", "inuse"}) age(dir / path, 30 * kDay);
  pruneCache(dir.path(), 14);
  EXPECT_FALSE(fs::exists(dir / "stale"));
  EXPECT_TRUE(fs::exists(dir / "inuse/deeper/recent"));
}

TEST(PruneCache, DayCountsAtTheEdges) {
  ScratchDir dir;
  shotsieve::testing::writeFile(dir / "a", "");
  age(dir / "a", std::chrono::seconds(2));
  pruneCache(dir.path(), INT64_MAX);  // cut-off far in the past, no overflow
  EXPECT_TRUE(fs::exists(dir / "a"));
  pruneCache(dir.path(), 0);
  EXPECT_FALSE(fs::exists(dir / "a"));
  shotsieve::testing::writeFile(dir / "b", "");
  pruneCache(dir.path(), -1);  // cut-off in the future
  EXPECT_FALSE(fs::exists(dir / "b"));
  pruneCache(dir / "missing", 14);
  pruneCache(dir / "b-is-gone/x", 14);
}

}  // namespace
}  // namespace shotsieve
