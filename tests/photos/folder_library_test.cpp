#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>
#include <set>
#include <atomic>
#include <future>

#include "image_fixtures.h"
#include "photos/folder/folder_library.h"
#include "photos/folder/resource_copy.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::JpegFixture;
using shotsieve::testing::PngFixture;
using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

class FolderLibraryTest : public ::testing::Test {
 protected:
  FolderLibraryTest() {
    fs::create_directories(root() + "/Screenshots/2024");
    fs::create_directories(root() + "/Camera");
    fs::create_directories(root() + "/.thumbnails");
  }
  std::string root() const { return home / "Pictures"; }
  LibraryLocation location() const { return {root(), home / "state/access", home / "cache"}; }
  FetchResult fetchScreenshots(FolderLibrary& library, std::optional<double> since = std::nullopt) {
    return library.fetchAssetsWithOptions(FetchOptions{kImageMediaType, kScreenshotSubtype, since});
  }
  static std::vector<std::string> names(const FetchResult& result) {
    std::vector<std::string> out;
    for (const auto& asset : result.assets) out.push_back(fs::path(asset.locator).filename().string());
    return out;
  }

  ScratchDir home;
};

TEST_F(FolderLibraryTest, FindsScreenshotsByFolderNameAndMetadataNewestFirst) {
  shotsieve::testing::writePng(root() + "/Screenshots/2024/in-folder.png",
                               PngFixture{800, 600, {{"Creation Time", "2024-03-05T10:00:00Z"}}});
  shotsieve::testing::writePng(root() + "/Screenshot_20240306_120000.png", PngFixture{});
  shotsieve::testing::writePng(root() + "/by-software.png",
                               PngFixture{10, 10, {{"Software", "Spectacle"}, {"Creation Time", "2024-03-07T10:00:00Z"}}});
  shotsieve::testing::writeJpeg(root() + "/Camera/phone.jpg", JpegFixture{1170, 2532, "2024:03:08 09:00:00", "+00:00", "Screenshot"});
  shotsieve::testing::writeJpeg(root() + "/Camera/photo.jpg", JpegFixture{4032, 3024, "2024:03:09 09:00:00", "+00:00"});
  shotsieve::testing::writePng(root() + "/.thumbnails/Screenshot_20240310_120000.png", PngFixture{});
  shotsieve::testing::writePng(root() + "/Screenshots/notes.txt", PngFixture{});
  shotsieve::testing::writeFile(root() + "/Screenshots/zero.png", "");
  shotsieve::testing::writeFile(root() + "/Screenshots/\xFF\xFEname.png", shotsieve::testing::pngBytes(PngFixture{}));
  fs::create_directory_symlink(root(), root() + "/Screenshots/loop");
  for (const char* old : {"/Screenshots/zero.png", "/Screenshots/\xFF\xFEname.png"}) {  // dated by the file: 2020
    fs::last_write_time(root() + old, fs::file_time_type::clock::now() - std::chrono::days(2000));
  }

  FolderLibrary library(location(), "usage");
  const FetchResult result = fetchScreenshots(library, 1709596800.0);  // 2024-03-05T00:00:00Z
  ASSERT_EQ(names(result), (std::vector<std::string>{"phone.jpg", "by-software.png", "Screenshot_20240306_120000.png",
                                                      "in-folder.png"}));
  const Asset& phone = result.assets[0];
  EXPECT_EQ(phone.pixelWidth, 1170);
  EXPECT_EQ(phone.creationDate, 1709888400);
  EXPECT_TRUE(phone.mediaSubtypes & kScreenshotSubtype);
  EXPECT_EQ(result.assets[3].pixelWidth, 800);
  EXPECT_EQ(result.assets[3].creationDate, 1709632800);

  // Files without a readable date are still screenshots, dated by the file; an
  // empty file is no image at all.
  const FetchResult all = fetchScreenshots(library);
  EXPECT_EQ(all.count(), 5u);
  for (const auto& asset : all.assets) {
    EXPECT_TRUE(asset.creationDate && asset.modificationDate);
    const auto resources = library.assetResourcesForAsset(asset);
    ASSERT_EQ(resources.size(), 1u);
    EXPECT_EQ(resources[0].type, kPhotoResourceType);
  }
  const auto nonUtf8 = std::find_if(all.assets.begin(), all.assets.end(),
                                    [](const Asset& a) { return a.locator.find('\xFF') != std::string::npos; });
  ASSERT_NE(nonUtf8, all.assets.end());
  EXPECT_EQ(library.assetResourcesForAsset(*nonUtf8)[0].originalFilename, "\uFFFD\uFFFDname.png");
}

// File systems keep times past what 64 bits of nanoseconds hold (ext4 up to
// 2446): such a file is dated by its birth and such a time, never by one
// wrapped round to centuries before.
TEST_F(FolderLibraryTest, AFileTimeFarAheadIsNoTimeLongAgo) {
  const std::string path = root() + "/Screenshots/ahead.png";
  shotsieve::testing::writePng(path, PngFixture{});
  const timespec ahead[2] = {{15'000'000'000, 0}, {15'000'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ahead, 0), 0);
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  FolderLibrary library(location(), "");
  const FetchResult result = fetchScreenshots(library);
  ASSERT_EQ(result.count(), 1u);
  EXPECT_GT(*result.assets[0].creationDate, now - 600);
  EXPECT_GT(*result.assets[0].modificationDate, now + 200 * 365.25 * 86400);
}

// A file renamed while listings walk the library is met, now and then,
// under neither name: gone from its folder when looked at, or moved into a
// folder read already. Its identifier must outlast that.
TEST_F(FolderLibraryTest, IdentifiersOutlastRenamesDuringAListing) {
  fs::create_directories(root() + "/Screenshots/a");
  std::string path = root() + "/Screenshots/a/0.png";
  shotsieve::testing::writePng(path, PngFixture{});
  const std::string first = FolderLibrary(location(), "").fetchAssetsWithOptions({}).assets.at(0).localIdentifier;
  std::atomic<bool> done{false};
  std::thread renamer([&] {
    for (int i = 1; !done; ++i) {
      const std::string next = root() + (i % 3 ? "/Screenshots/a/" : "/Screenshots/") + std::to_string(i) + ".png";
      fs::rename(path, next);
      path = next;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::set<std::string> given;
  for (int run = 0; run < 300; ++run) {
    for (const Asset& asset : FolderLibrary(location(), "").fetchAssetsWithOptions({}).assets) given.insert(asset.localIdentifier);
  }
  done = true;
  renamer.join();
  for (const Asset& asset : FolderLibrary(location(), "").fetchAssetsWithOptions({}).assets) given.insert(asset.localIdentifier);
  EXPECT_EQ(given, std::set<std::string>{first});
}

std::optional<std::string> writeThroughLibrary(FolderLibrary& library, const Asset& asset, const std::string& to) {
  std::promise<std::optional<std::string>> done;
  const auto resource = library.assetResourcesForAsset(asset).at(0);
  library.writeDataForAssetResource(resource, to, {}, [&](std::optional<std::string> error) { done.set_value(error); });
  return done.get_future().get();
}

TEST_F(FolderLibraryTest, ResourceWriteIsExclusiveCompleteAndCleansUp) {
  const std::string source = root() + "/Screenshots/a.png";
  shotsieve::testing::writePng(source, PngFixture{100, 100, {}, "", 300000});
  FolderLibrary library(location(), "");
  const Asset asset = library.fetchAssetsWithOptions({}).assets.at(0);

  EXPECT_EQ(writeThroughLibrary(library, asset, home / "copy.png"), std::nullopt);
  EXPECT_EQ(shotsieve::testing::readFile(home / "copy.png"), shotsieve::testing::readFile(source));

  shotsieve::testing::writeFile(home / "taken.png", "someone else's");
  EXPECT_NE(writeThroughLibrary(library, asset, home / "taken.png"), std::nullopt);
  EXPECT_EQ(shotsieve::testing::readFile(home / "taken.png"), "someone else's");

  EXPECT_NE(writeThroughLibrary(library, asset, home / "no/such/dir/x.png"), std::nullopt);

  fs::remove(source);  // vanished before the write
  EXPECT_NE(writeThroughLibrary(library, asset, home / "gone.png"), std::nullopt);
  EXPECT_FALSE(fs::exists(home / "gone.png"));
}

TEST_F(FolderLibraryTest, ContentDecidesAndLinksStayInsideTheRoot) {
  const std::string shots = root() + "/Screenshots/";
  const std::string png = shotsieve::testing::pngBytes(PngFixture{300, 200});
  shotsieve::testing::writeFile(shots + "notes.png", "meeting notes, not an image\n");
  std::string noise(300, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
  shotsieve::testing::writeFile(shots + "Screenshot_20261207_010000.png", noise);
  shotsieve::testing::writeFile(shots + "movie.png", std::string("\0\0\0\x18" "ftypisom\0\0\0\0isomavc1", 24));
  fs::create_directory(shots + "folder.png");
  ::mkfifo((shots + "pipe.png").c_str(), 0600);
  fs::create_symlink("/dev/null", shots + "device.png");
  shotsieve::testing::writeFile(home / "private.png", png);  // outside the library
  fs::create_symlink(home / "private.png", shots + "Screenshot from 2026-12-07 01-00-02.png");
  fs::create_symlink("/etc/passwd", shots + "passwd.png");
  fs::create_symlink(shots + "nowhere.png", shots + "dangling.png");
  fs::create_symlink(shots + "loop-b.png", shots + "loop-a.png");
  fs::create_symlink(shots + "loop-a.png", shots + "loop-b.png");
  fs::create_symlink("../Pictures/../Pictures/../private.png", shots + "climbs-out.png");
  // What is an asset: a PNG named .jpg, and a link to a file inside the root.
  shotsieve::testing::writeFile(shots + "real.png", png);
  shotsieve::testing::writeFile(shots + "really-a-png.jpg", png);
  fs::create_symlink("real.png", shots + "link-inside.png");

  FolderLibrary library(location(), "");
  const FetchResult all = library.fetchAssetsWithOptions({});
  auto found = names(all);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"link-inside.png", "real.png", "really-a-png.jpg"}));
  for (const auto& asset : all.assets) EXPECT_EQ(asset.pixelWidth, 300) << asset.locator;

  // The link's target is copied, to a file private to the user.
  const auto link = std::find_if(all.assets.begin(), all.assets.end(),
                                 [](const Asset& a) { return a.locator.ends_with("link-inside.png"); });
  ASSERT_NE(link, all.assets.end());
  ::umask(0);
  EXPECT_EQ(writeThroughLibrary(library, *link, home / "copy.png"), std::nullopt);
  ::umask(022);
  EXPECT_EQ(shotsieve::testing::readFile(home / "copy.png"), png);
  struct stat info;
  ASSERT_EQ(::stat((home / "copy.png").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // Pointed outside between the fetch and the copy: nothing leaves the root.
  fs::remove(shots + "link-inside.png");
  fs::create_symlink(home / "private.png", shots + "link-inside.png");
  EXPECT_NE(writeThroughLibrary(library, *link, home / "leak.png"), std::nullopt);
  EXPECT_FALSE(fs::exists(home / "leak.png"));
  // A plain file replaced by such a link after the fetch: the same.
  const auto real = std::find_if(all.assets.begin(), all.assets.end(),
                                 [](const Asset& a) { return a.locator.ends_with("/real.png"); });
  ASSERT_NE(real, all.assets.end());
  fs::remove(shots + "real.png");
  fs::create_symlink("/etc/passwd", shots + "real.png");
  EXPECT_NE(writeThroughLibrary(library, *real, home / "leak2.png"), std::nullopt);
  EXPECT_FALSE(fs::exists(home / "leak2.png"));
}

TEST_F(FolderLibraryTest, TheIndexNoticesAFileThatChangedKind) {
  const std::string path = root() + "/Screenshots/a.png";
  shotsieve::testing::writePng(path, PngFixture{640, 480});
  EXPECT_EQ(FolderLibrary(location(), "").fetchAssetsWithOptions({}).count(), 1u);
  const auto stamp = fs::last_write_time(path);
  shotsieve::testing::writeFile(path, std::string(fs::file_size(path), 'x'));  // same size, same time
  fs::last_write_time(path, stamp);
  EXPECT_EQ(FolderLibrary(location(), "").fetchAssetsWithOptions({}).count(), 0u);
  shotsieve::testing::writePng(path, PngFixture{640, 480});
  EXPECT_EQ(FolderLibrary(location(), "").fetchAssetsWithOptions({}).count(), 1u);
}

TEST(ResourceCopy, OnlyAWholeCopyCounts) {
  ScratchDir dir;
  const std::string png = shotsieve::testing::pngBytes(PngFixture{640, 480, {}, "", 1 << 20, true});
  shotsieve::testing::writeFile(dir / "src.png", png);
  EXPECT_EQ(copyResourceFile(dir.path(), dir / "src.png", dir / "dst", NetworkAccess::notAllowed), std::nullopt);
  EXPECT_EQ(shotsieve::testing::readFile(dir / "dst"), png);
  EXPECT_NE(copyResourceFile(dir.path(), dir.path(), dir / "dir-copy", NetworkAccess::allowed), std::nullopt);
  EXPECT_FALSE(fs::exists(dir / "dir-copy"));
  // Still being written: no copy is passed off as the whole.
  shotsieve::testing::writeFile(dir / "half.png", png.substr(0, png.size() / 2));
  EXPECT_NE(copyResourceFile(dir.path(), dir / "half.png", dir / "half-copy", NetworkAccess::allowed), std::nullopt);
  EXPECT_FALSE(fs::exists(dir / "half-copy"));
}

}  // namespace
}  // namespace shotsieve::folder
