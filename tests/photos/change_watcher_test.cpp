#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>

#include "image_fixtures.h"
#include "photos/folder/folder_library.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::PngFixture;
using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Collects what a baseline-relative observer would be told.
class Recorder : public PhotoLibraryChangeObserver {
 public:
  explicit Recorder(FetchResult baseline, std::chrono::milliseconds firstCallTakes = 0ms)
      : baseline_(std::move(baseline)), firstCallTakes_(firstCallTakes) {}
  void photoLibraryDidChange(const Change& change) override {
    std::this_thread::sleep_for(std::exchange(firstCallTakes_, 0ms));  // keeps the library's thread busy
    std::lock_guard lock(mutex_);
    if (auto details = changeDetailsForFetchResult(change, baseline_)) {
      for (const auto& asset : details->insertedObjects) inserted_.push_back(fs::path(asset.locator).filename());
    }
    changed_.notify_all();
  }
  // The names inserted so far, once there are `count` of them or time is up.
  std::vector<std::string> waitFor(std::size_t count, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return inserted_.size() >= count; });
    return inserted_;
  }
  // Every name inserted once `count` have arrived and a quiet spell has passed
  // (anything more would be a duplicate), sorted.
  std::vector<std::string> settle(std::size_t count, std::chrono::milliseconds limit = 10s) {
    waitFor(count, limit);
    std::this_thread::sleep_for(400ms);
    auto inserted = waitFor(SIZE_MAX, 0ms);
    std::sort(inserted.begin(), inserted.end());
    return inserted;
  }

 private:
  FetchResult baseline_;
  std::chrono::milliseconds firstCallTakes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> inserted_;
};

class ChangeWatcherTest : public ::testing::Test {
 protected:
  ChangeWatcherTest() {
    fs::create_directories(root() + "/Screenshots");
    shotsieve::testing::writePng(root() + "/Screenshots/existing.png", PngFixture{});
    recorder = std::make_shared<Recorder>(library.fetchAssetsWithOptions(kScreenshots));
    library.registerChangeObserver(recorder);
  }
  std::string root() const { return home / "Pictures"; }

  static constexpr FetchOptions kScreenshots{kImageMediaType, kScreenshotSubtype, std::nullopt};
  ScratchDir home;
  FolderLibrary library{{home / "Pictures", home / "access", ""}, ""};
  std::shared_ptr<Recorder> recorder;
};

TEST_F(ChangeWatcherTest, EachCompleteScreenshotIsInsertedOnce) {
  const std::string png = shotsieve::testing::pngBytes(PngFixture{200, 100, {}, "", 20000});
  shotsieve::testing::writeFile(home / "outside.png", png);
  fs::copy_file(home / "outside.png", root() + "/Screenshots/copied.png");
  shotsieve::testing::writeFile(root() + "/Screenshots/.saving.tmp", png);
  fs::rename(root() + "/Screenshots/.saving.tmp", root() + "/Screenshots/renamed.png");
  fs::create_directories(root() + "/Screenshots/New");
  shotsieve::testing::writeFile(root() + "/Screenshots/New/nested.png", png);
  shotsieve::testing::writeFile(root() + "/Screenshots/broken.png", png.substr(0, 500));
  shotsieve::testing::writePng(root() + "/not-a-screenshot.png", PngFixture{});
  {  // written slowly in chunks through one descriptor
    const int fd = ::open((root() + "/Screenshots/slow.png").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    for (std::size_t at = 0; at < png.size(); at += png.size() / 4 + 1) {
      ASSERT_GT(::write(fd, png.data() + at, std::min(png.size() - at, png.size() / 4 + 1)), 0);
      std::this_thread::sleep_for(120ms);
    }
    ::close(fd);
  }
  const auto inserted = recorder->settle(4);
  EXPECT_EQ(inserted, (std::vector<std::string>{"copied.png", "nested.png", "renamed.png", "slow.png"}));
}

TEST_F(ChangeWatcherTest, AWriterThatNeverClosesIsCaughtOnceTheFileIsWhole) {
  const std::string png = shotsieve::testing::pngBytes(PngFixture{});
  const int fd = ::open((root() + "/Screenshots/open.png").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_EQ(::write(fd, png.data(), png.size()), static_cast<ssize_t>(png.size()));
  EXPECT_EQ(recorder->waitFor(1), std::vector<std::string>{"open.png"});
  ::close(fd);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder->waitFor(100, 0ms).size(), 1u);
}

// A folder swapped for a link to a folder outside the library before it is
// looked through: nothing outside is read or watched.
TEST_F(ChangeWatcherTest, AFolderSwappedForALinkIsNotFollowed) {
  const std::string png = shotsieve::testing::pngBytes(PngFixture{});
  fs::create_directories(home / "outside");
  shotsieve::testing::writeFile(home / "outside/Screenshot from 2026-01-01 10-00-00.png", png);
  for (int i = 0; i < 20; ++i) {
    const std::string made = root() + "/Screenshots/made-" + std::to_string(i);
    fs::create_directory(made);
    fs::rename(made, home / ("gone-" + std::to_string(i)));
    fs::create_directory_symlink(home / "outside", made);
  }
  std::this_thread::sleep_for(300ms);
  shotsieve::testing::writeFile(home / "outside/Screenshot from 2026-01-02 10-00-00.png", png);
  EXPECT_TRUE(recorder->settle(0, 0ms).empty());
}

// A library whose root is looked up in a user-dirs file under a home folder,
// as the program does, so that the watcher can follow it.
class MovingRootTest : public ::testing::Test {
 protected:
  LibraryLocation location() const {
    return {home / "Pictures", home / "access", "", home / ".config/user-dirs.dirs", home.path()};
  }
  std::shared_ptr<Recorder> startWatching(FolderLibrary& library) {
    auto recorder = std::make_shared<Recorder>(library.fetchAssetsWithOptions(kShots));
    library.registerChangeObserver(recorder);
    return recorder;
  }
  void screenshot(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    shotsieve::testing::writeFile(path, png);
  }
  static constexpr FetchOptions kShots{kImageMediaType, kScreenshotSubtype, std::nullopt};
  ScratchDir home;
  const std::string png = shotsieve::testing::pngBytes(PngFixture{});
};

TEST_F(MovingRootTest, TheWatcherFollowsTheUserDirsFile) {
  screenshot(home / "Pictures/Screenshots/old.png");
  screenshot(home / "Bilder/Bildschirmfotos/there-already.png");
  fs::create_directories(home / ".config");
  FolderLibrary library(location(), "");
  auto recorder = startWatching(library);
  shotsieve::testing::writeFile(home / ".config/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(recorder->settle(1), std::vector<std::string>{"there-already.png"});
  screenshot(home / "Pictures/Screenshots/left-behind.png");
  screenshot(home / "Bilder/Bildschirmfotos/new.png");
  EXPECT_EQ(recorder->settle(2), (std::vector<std::string>{"new.png", "there-already.png"}));
}

// No ~/.config when watching began: the user-dirs file that comes with it later is followed.
TEST_F(MovingRootTest, AUserDirsFileWhoseFolderComesLaterIsFollowed) {
  screenshot(home / "Bilder/Bildschirmfotos/there-already.png");
  FolderLibrary library(location(), "");
  auto recorder = startWatching(library);
  fs::create_directories(home / ".config");
  std::this_thread::sleep_for(100ms);
  shotsieve::testing::writeFile(home / ".config/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(recorder->settle(1), std::vector<std::string>{"there-already.png"});
}

TEST_F(ChangeWatcherTest, AFileReplacedByANewOneIsNewOnceMore) {
  const std::string png = shotsieve::testing::pngBytes(PngFixture{});
  shotsieve::testing::writeFile(root() + "/Screenshots/again.png", png);
  EXPECT_EQ(recorder->settle(1), std::vector<std::string>{"again.png"});
  fs::remove(root() + "/Screenshots/again.png");
  shotsieve::testing::writeFile(root() + "/Screenshots/again.png", shotsieve::testing::pngBytes(PngFixture{20, 20}));
  EXPECT_EQ(recorder->settle(2), (std::vector<std::string>{"again.png", "again.png"}));
}

}  // namespace
}  // namespace shotsieve::folder
