#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include "export/export_names.h"
#include "export/prune_cache.h"
#include "photos/writer_debris.h"
#include "image_fixtures.h"
#include "scratch_dir.h"

namespace shotsieve {
namespace {

using shotsieve::testing::namesIn;
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
const std::string kUuid = "40B314D6-141D-5673-93BE-13AAE5A54B73";
const std::string kOther = "657BA00C-4F0A-5DD1-959B-0EA1C523D0E8";

TEST(ExportNames, OnlyWhatAnExportWrites) {
  for (const std::string& name : std::vector<std::string>{kUuid + ".png", kUuid + ".jpég", kUuid + ".png.part",
                                                          kUuid + ".png.123-4-0badf00d.part",
                                                          temporaryExportName(kUuid + ".heic")}) {
    EXPECT_TRUE(isExportEntryName(name)) << name;
  }
  std::string lower = kUuid;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  for (const std::string& name : std::vector<std::string>{
           kUuid + ".PNG", lower + ".png", kUuid, kUuid + ".", kUuid + ".png.x.part", kUuid + ".png.1-2-3.part",
           kUuid + "X.png", "thesis.tex", ".hidden", "CACHEDIR.TAG", kUuid.substr(1) + ".png"}) {
    EXPECT_FALSE(isExportEntryName(name)) << name;
  }
}

// Only old entries of the export's own names go, whatever else the folder holds.
TEST(PruneCache, RemovesOnlyOldCopiesOfItsOwn) {
  ScratchDir dir;
  const auto make = [&](const std::string& name, std::chrono::seconds ago) {
    shotsieve::testing::writeFile(dir / name, "x");
    age(dir / name, ago);
  };
  make(kUuid + ".png", 14 * kDay + std::chrono::seconds(1));
  make(kOther + ".png", 14 * kDay - std::chrono::hours(1));
  make(kUuid + ".jpg.1-2-0000abcd.part", 20 * kDay);
  make(kUuid + ".heic.part", 20 * kDay);
  for (const std::string& foreign : std::vector<std::string>{"thesis.tex", ".hidden", kUuid + ".PNG", "notes"}) {
    make(foreign, 30 * kDay);
  }
  fs::create_directories(dir / (kOther + ".jpg/project"));
  age(dir / (kOther + ".jpg"), 30 * kDay);
  shotsieve::testing::writeFile(dir / "../outside-target", "keep me");
  fs::create_symlink(dir / "../outside-target", dir / (kUuid + ".gif"));
  fs::create_symlink(dir / "../outside-target", dir / "a-link");
  age(dir / (kUuid + ".gif"), 30 * kDay);
  age(dir / "a-link", 30 * kDay);
  pruneCache(dir.path(), 14);
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{".hidden", kUuid + ".PNG", kOther + ".jpg", kOther + ".png",
                                                           "a-link", "notes", "thesis.tex"}));
  EXPECT_TRUE(fs::exists(dir / (kOther + ".jpg/project")));
  EXPECT_EQ(shotsieve::testing::readFile(dir / "../outside-target"), "keep me");
  fs::remove(dir / "../outside-target");
}

// A listing that reuses an old copy stamps it under the shared lock and then
// answers with it: the pruning, waiting for that lock, finds it fresh.
TEST(PruneCache, ACopyStampedWhilePruningIsKept) {
  ScratchDir dir;
  const std::string copy = dir.path() + "/" + kUuid + ".png";
  shotsieve::testing::writeFile(copy, "image data");
  age(copy, 20 * kDay);
  const ExportDirectory reusing = ExportDirectory::open(dir.path());
  const ExportDirectory pruning = ExportDirectory::open(dir.path());
  ASSERT_TRUE(reusing.usable());
  std::thread prune;
  {
    const UniqueFd stamping = reusing.lockCopies(ExportDirectory::CopiesLock::shared);
    prune = std::thread([&] { pruneCache(pruning, 14); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the pruning has looked by now, were it not held
    ASSERT_TRUE(fs::exists(copy)) << "removed while a listing was stamping it";
    age(copy, std::chrono::seconds(0));
  }
  prune.join();
  EXPECT_TRUE(fs::exists(copy));
}

// Temporary files name their writer; only those of a writer that ended go.
TEST(WriterDebris, OnlyTheFilesOfEndedWritersGo) {
  const pid_t ended = ::fork();
  if (ended == 0) std::_Exit(0);
  ::waitpid(ended, nullptr, 0);
  const std::string gone = std::to_string(ended), live = std::to_string(::getppid()), self = std::to_string(::getpid());
  EXPECT_EQ(writerOfTemporaryName("metadata-index.tmp." + gone + ".77", "metadata-index"), ended);
  for (const std::string& other : std::vector<std::string>{"metadata-index.tmp." + gone, "metadata-index.tmp.x.77", "metadata-index.lock",
                                   "other.tmp." + gone + ".77", "metadata-index.tmp.-1.77"}) {
    EXPECT_EQ(writerOfTemporaryName(other, "metadata-index"), std::nullopt) << other;
  }
  EXPECT_EQ(writerOfExportPart(kUuid + ".png." + gone + "-3-0badf00d.part"), ended);
  EXPECT_EQ(writerOfExportPart(kUuid + ".png.part"), std::nullopt);
  EXPECT_EQ(writerOfExportPart(kUuid + ".png"), std::nullopt);
  EXPECT_EQ(writerOfExportPart("notes.png." + gone + "-3-0badf00d.part"), std::nullopt);

  ScratchDir dir;
  for (const std::string& pid : {gone, live, self}) shotsieve::testing::writeFile(dir / ("index.tmp." + pid + ".1"), "x");
  const UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  EXPECT_EQ(removeFilesOfEndedWriters(folder.get(), [](std::string_view name) { return writerOfTemporaryName(name, "index"); }),
            1u);
  const std::vector<std::string> left = namesIn(dir.path());
  EXPECT_EQ(std::set<std::string>(left.begin(), left.end()),
            (std::set<std::string>{"index.tmp." + live + ".1", "index.tmp." + self + ".1"}));
}

TEST(PruneCache, DayCountsAtTheEdges) {
  ScratchDir dir;
  shotsieve::testing::writeFile(dir / (kUuid + ".png"), "");
  age(dir / (kUuid + ".png"), std::chrono::seconds(2));
  pruneCache(dir.path(), INT64_MAX);  // cut-off far in the past, no overflow
  EXPECT_TRUE(fs::exists(dir / (kUuid + ".png")));
  pruneCache(dir.path(), 0);
  EXPECT_FALSE(fs::exists(dir / (kUuid + ".png")));
  shotsieve::testing::writeFile(dir / (kOther + ".png"), "");
  pruneCache(dir.path(), -1);  // cut-off in the future
  EXPECT_FALSE(fs::exists(dir / (kOther + ".png")));
  pruneCache(dir / "missing", 14);
  pruneCache(dir / "b-is-gone/x", 14);
}

TEST(PruneCache, AFolderOtherUsersCanChangeIsLeftAlone) {
  ScratchDir dir;
  shotsieve::testing::writeFile(dir / (kUuid + ".png"), "");
  age(dir / (kUuid + ".png"), 30 * kDay);
  fs::permissions(dir.path(), fs::perms::all);
  pruneCache(dir.path(), 14);
  EXPECT_TRUE(fs::exists(dir / (kUuid + ".png")));
}

}  // namespace
}  // namespace shotsieve
