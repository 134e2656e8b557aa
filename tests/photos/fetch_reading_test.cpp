#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "image_fixtures.h"
#include "photos/folder/folder_library.h"
#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/metadata/read_pool.h"
#include "photos/folder/scan/file_assets.h"
#include "photos/folder/scan/library_scan.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::JpegFixture;
using shotsieve::testing::PngFixture;
using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

constexpr std::int64_t kSecond = 1000000000;

TEST(DatePrefilter, OnlyFilesOlderThanTheMarginOnBothTimesAreLeftUnread) {
  const double earliest = 1'700'000'000;
  const std::int64_t edge = static_cast<std::int64_t>(earliest) * kSecond - kFileTimeMarginNanoseconds;
  const auto status = [](std::int64_t birth, std::int64_t modified) {
    FileStatus s;
    s.birthNanoseconds = birth;
    s.modifiedNanoseconds = modified;
    return s;
  };
  EXPECT_FALSE(fileTimesRuleOut(status(edge, edge), earliest));  // exactly the margin: still read
  EXPECT_TRUE(fileTimesRuleOut(status(edge - kSecond, edge - kSecond), earliest));
  EXPECT_FALSE(fileTimesRuleOut(status(edge - kSecond, edge + kSecond), earliest));  // modified since
  EXPECT_FALSE(fileTimesRuleOut(status(edge + kSecond, edge - kSecond), earliest));  // a fresh copy of an old file
}

struct Answer {
  std::string id;
  std::optional<double> created;
  std::int64_t width;
  std::uint32_t subtypes;
  bool favorite;
  bool operator==(const Answer&) const = default;
};

std::vector<Answer> answers(const FetchResult& result) {
  std::vector<Answer> out;
  for (const auto& a : result.assets) out.push_back({a.localIdentifier, a.creationDate, a.pixelWidth, a.mediaSubtypes, a.isFavorite});
  return out;
}

// A library of screenshots and photos around a window start, including files
// right at the margin and a photo captured after its file was last modified
// (by less than the margin, as a camera clock a little fast would do).
class FetchReading : public ::testing::Test {
 protected:
  FetchReading() {
    const auto now = fs::file_time_type::clock::now();
    const auto at = [&](const std::string& path, std::chrono::hours age) { fs::last_write_time(path, now - age); };
    fs::create_directories(root() + "/Screenshots/old");
    fs::create_directories(root() + "/DCIM");
    for (int i = 0; i < 120; ++i) {
      const std::string shot = root() + "/Screenshots/" + (i % 3 ? "old/" : "") + "s" + std::to_string(i) + ".png";
      shotsieve::testing::writePng(shot, PngFixture{static_cast<std::uint32_t>(100 + i), 50});
      at(shot, std::chrono::hours(i * 7));
      const std::string photo = root() + "/DCIM/p" + std::to_string(i) + ".jpg";
      shotsieve::testing::writeJpeg(photo, JpegFixture{640, 480, "", "", i % 10 ? "" : "Screenshot", i % 7 ? 0 : 5});
      at(photo, std::chrono::hours(i * 5));
    }
    // Captured an hour after its file time says, 40 hours before the window.
    const std::string fast = root() + "/DCIM/fast-clock.jpg";
    const std::time_t captured = std::time(nullptr) - 3 * 24 * 3600 + 3600;
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", std::gmtime(&captured));
    shotsieve::testing::writeJpeg(fast, JpegFixture{800, 600, text, "+00:00", "Screenshot"});
    at(fast, std::chrono::hours(72));
  }
  std::string root() const { return home / "Pictures"; }
  FetchResult fetch(const FetchOptions& options, ReadSettings settings, bool index) {
    FolderLibrary library({root(), home / "access", index ? home / "cache" : ""}, "", settings);
    return library.fetchAssetsWithOptions(options);
  }
  ScratchDir home;
};

TEST_F(FetchReading, SameAnswersWithAndWithoutIndexThreadsAndPrefilter) {
  const double since = static_cast<double>(std::time(nullptr)) - 2 * 24 * 3600;
  for (const FetchOptions& options : {screenshotQuery(since), screenshotQuery(), FetchOptions{}}) {
    const auto expected = answers(fetch(options, {1, ReadSettings::DatePrefilter::off}, false));
    ASSERT_FALSE(expected.empty());
    for (const unsigned threads : {1u, 4u}) {
      for (const auto prefilter : {ReadSettings::DatePrefilter::on, ReadSettings::DatePrefilter::off}) {
        fs::remove_all(home / "cache");
        EXPECT_EQ(answers(fetch(options, {threads, prefilter}, true)), expected) << threads << " threads, index built";
        EXPECT_EQ(answers(fetch(options, {threads, prefilter}, true)), expected) << threads << " threads, index warm";
      }
    }
  }
  const auto dated = answers(fetch(screenshotQuery(since - 24 * 3600), {}, true));
  EXPECT_TRUE(std::any_of(dated.begin(), dated.end(), [](const Answer& a) { return a.width == 800; }))
      << "the photo whose capture time is later than its file time";
}

TEST_F(FetchReading, TheIndexIsWrittenOnlyWhenSomethingChanged) {
  fetch(FetchOptions{}, {}, true);
  const std::string index = home / "cache/metadata-index";
  const auto written = fs::last_write_time(index);
  fs::last_write_time(index, written - std::chrono::hours(1));
  fetch(FetchOptions{}, {}, true);
  EXPECT_EQ(fs::last_write_time(index), written - std::chrono::hours(1)) << "rewritten with nothing changed";
  fs::remove(root() + "/DCIM/p3.jpg");
  fetch(FetchOptions{}, {}, true);
  EXPECT_NE(fs::last_write_time(index), written - std::chrono::hours(1)) << "a vanished file's entry was kept";
}

TEST(MetadataIndexFile, KeptEntriesSurviveASaveAndUnusedOnesLeave) {
  ScratchDir dir;
  const FileStamp stamp{10, 20, 30, 40};
  ImageFacts facts;
  facts.format = FileFormat::png;
  facts.width = 7;
  {
    MetadataIndex index(dir / "index");
    for (const char* path : {"a.png", "b.png", "c.png"}) index.store(path, stamp, facts);
    index.save(MetadataIndex::Seen::everyFile);
  }
  {
    MetadataIndex index(dir / "index");
    EXPECT_EQ(index.find("a.png", stamp)->width, 7);
    EXPECT_EQ(index.find("a.png", FileStamp{10, 20, 30, 41}), std::nullopt);  // changed since
    index.keep("b.png");
    index.save(MetadataIndex::Seen::everyFile);  // c.png was neither used nor kept
  }
  {
    MetadataIndex index(dir / "index");
    EXPECT_TRUE(index.find("a.png", stamp));
    EXPECT_TRUE(index.find("b.png", stamp));
    EXPECT_FALSE(index.find("c.png", stamp));
    // A capture time that is no number would pass every window test and break the sort: such an entry is read again.
    for (const double odd : {std::nan(""), std::numeric_limits<double>::infinity()}) {
      facts.captureDate = odd;
      index.store(std::to_string(odd) + ".png", stamp, facts);
    }
    index.save(MetadataIndex::Seen::someFiles);
  }
  MetadataIndex index(dir / "index");
  EXPECT_TRUE(index.find("a.png", stamp));
  EXPECT_FALSE(index.find("nan.png", stamp));
  EXPECT_FALSE(index.find("inf.png", stamp));
  // A torn or foreign file is an empty index, never wrong facts.
  const std::string bytes = shotsieve::testing::readFile(dir / "index");
  for (const std::string& damaged : {bytes.substr(0, bytes.size() - 1), "x" + bytes.substr(1), std::string()}) {
    shotsieve::testing::writeFile(dir / "index", damaged);
    MetadataIndex reread(dir / "index");
    EXPECT_FALSE(reread.find("a.png", stamp));
  }
}

// Jobs that wait (on a disk, here on the clock) get threads beyond the
// cores; a pool sized by the caller starts its threads as jobs wait.
TEST(ReadPoolTest, WaitingJobsGetMoreThreadsThanCores) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  if (cores >= ReadPool::defaultThreads()) GTEST_SKIP() << "as many cores as the pool's threads";
  const auto threadsUsed = [](unsigned asked) {
    std::mutex mutex;
    std::set<std::thread::id> used;
    {
      ReadPool pool(asked);
      for (int i = 0; i < 64; ++i) {
        pool.submit([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          std::lock_guard lock(mutex);
          used.insert(std::this_thread::get_id());
        });
      }
    }
    return used.size();
  };
  EXPECT_GT(threadsUsed(0), cores);
  EXPECT_EQ(threadsUsed(4), 4u);
}

// Runs jobs on a pool that can start no thread: room is left for the heap,
// none for a thread's stack. Ends the process, with 0 when every job ran.
[[noreturn, maybe_unused]] void runJobsWithNoRoomForThreads() {
  std::size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit limit{now + (1 << 20), now + (1 << 20)};
  ::setrlimit(RLIMIT_AS, &limit);
  std::atomic<int> done = 0;
  {
    ReadPool pool(8);
    for (int i = 0; i < 100; ++i) pool.submit([&] { ++done; });
  }
  std::_Exit(done == 100 ? 0 : 1);
}

// A host process may be at its limit of threads: the reads then run on the
// threads there are, or on the caller's, and never end the process.
TEST(ReadPoolDeathTest, CarriesOnWhenNoThreadCanBeStarted) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' shadow memory does not live with a limit on the address space";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runJobsWithNoRoomForThreads(), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace shotsieve::folder
