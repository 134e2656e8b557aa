#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "export/export_original.h"
#include "image_fixtures.h"
#include "photos/memory_library.h"
#include "scratch_dir.h"

namespace shotsieve {
namespace {

using namespace std::chrono_literals;
using shotsieve::testing::namesIn;
using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

double ageSeconds(const std::string& path) {
  return std::chrono::duration<double>(fs::file_time_type::clock::now() - fs::last_write_time(path)).count();
}

class ExportTest : public ::testing::Test {
 protected:
  MemoryLibrary library;
  ScratchDir dir;
};

TEST_F(ExportTest, ChoosesTheFirstPhotoResourceAndNamesTheFileByUuid) {
  const Asset asset = library.addScreenshot("U1/L0/001", 0);
  library.assets.back().resources = {{2, "clip.MOV", "v"}, {1, "IMG_0001.HEIC", "p1"}, {1, "second.png", "p2"}};
  library.writes["p1"].data = "heic bytes";
  const ExportResult result = exportOriginal(library, asset, dir.path());
  EXPECT_EQ(result.filename, "IMG_0001.HEIC");
  EXPECT_EQ(result.path, dir / "U1.heic");
  EXPECT_EQ(shotsieve::testing::readFile(dir / "U1.heic"), "heic bytes");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"U1.heic"});
}

TEST_F(ExportTest, ExtensionRules) {
  EXPECT_EQ(exportExtension("a.tar.gz"), "gz");
  EXPECT_EQ(exportExtension("noext"), "png");
  EXPECT_EQ(exportExtension(""), "png");
  EXPECT_EQ(exportExtension("a."), "png");
  EXPECT_EQ(exportExtension("dir.d/name"), "png");
  EXPECT_EQ(exportExtension("Foto.JPÉG"), "jpég");
  EXPECT_EQ(exportExtension("x.İ"), "i\u0307");
}

TEST_F(ExportTest, WithoutResourcesNothingIsTouchedAndNoTypeOneTakesTheFirst) {
  const Asset bare = library.addScreenshot("U0/L0/001", 0);
  library.assets.back().resources.clear();
  const ExportResult none = exportOriginal(library, bare, dir.path());
  EXPECT_EQ(none.path, std::nullopt);
  EXPECT_EQ(none.filename, "");
  const Asset video = library.addScreenshot("U2/L0/001", 0);
  library.assets.back().resources = {{2, "clip.MOV", "v"}, {3, "other.x", "o"}};
  EXPECT_EQ(exportOriginal(library, video, dir.path() + "/").path, dir.path() + "//U2.mov");
  EXPECT_EQ(library.writtenPaths().size(), 1u);
}

TEST_F(ExportTest, ACachedFileIsOnlyRestamped) {
  const Asset asset = library.addScreenshot("U3/L0/001", 0, "shot.PNG");
  shotsieve::testing::writeFile(dir / "U3.png", "");
  fs::last_write_time(dir / "U3.png", fs::file_time_type::clock::now() - 48h);
  const ExportResult result = exportOriginal(library, asset, dir.path());
  EXPECT_EQ(result.path, dir / "U3.png");
  EXPECT_EQ(shotsieve::testing::readFile(dir / "U3.png"), "");
  EXPECT_LT(ageSeconds(dir / "U3.png"), 60);
  EXPECT_TRUE(library.writtenPaths().empty());
}

TEST_F(ExportTest, FailuresLeaveNothingBehind) {
  const Asset failing = library.addScreenshot("F/L0/001", 0);
  library.writes["F/L0/001"].outcome = MemoryLibrary::WriteOutcome::error;
  EXPECT_EQ(exportOriginal(library, failing, dir.path()).path, std::nullopt);
  EXPECT_EQ(exportOriginal(library, failing, dir / "missing").path, std::nullopt);
  const Asset ok = library.addScreenshot("K/L0/001", 0);
  EXPECT_EQ(exportOriginal(library, ok, "").path, std::nullopt);  // never at the root of the file system
  EXPECT_TRUE(namesIn(dir.path()).empty());
  EXPECT_EQ(library.writtenPaths().size(), 1u);  // a missing directory is not even asked for
  EXPECT_TRUE(library.writtenPaths()[0].ends_with(".part"));
  EXPECT_TRUE(library.writtenPaths()[0].starts_with(dir / "F.png."));
}

TEST_F(ExportTest, ACompletionThatNeverComesOrComesLateTimesOutSafely) {
  const Asset never = library.addScreenshot("N/L0/001", 0);
  library.writes["N/L0/001"].outcome = MemoryLibrary::WriteOutcome::never;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(exportOriginal(library, never, dir.path(), NetworkAccess::allowed, 100ms).path, std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
  {
    MemoryLibrary slow;  // gone at the end of the block, once its late write has completed
    const Asset late = slow.addScreenshot("L/L0/001", 0);
    slow.writes["L/L0/001"].delay = 300ms;
    const ExportResult result = exportOriginal(slow, late, dir.path(), NetworkAccess::notAllowed, 50ms);
    EXPECT_EQ(result.path, std::nullopt);
    EXPECT_EQ(result.filename, "shot.png");
    EXPECT_EQ(slow.writeOptions().back().networkAccess, NetworkAccess::notAllowed);
  }
  EXPECT_TRUE(namesIn(dir.path()).empty()) << "the late completion removes its copy";
}

TEST_F(ExportTest, ConcurrentExportsOfOneAssetNeverReplaceEachOther) {
  const Asset asset = library.addScreenshot("C/L0/001", 0);
  library.writes["C/L0/001"].delay = 20ms;
  library.writes["C/L0/001"].data = std::string(100000, 'c');
  std::vector<std::thread> threads;
  std::vector<ExportResult> results(8);
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = exportOriginal(library, asset, dir.path()); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result.path, dir / "C.png");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"C.png"});
  EXPECT_EQ(shotsieve::testing::readFile(dir / "C.png"), std::string(100000, 'c'));
}

// Whatever lies under the name, only a current copy of the user's is served.
TEST_F(ExportTest, OnlyACurrentCopyIsServed) {
  const Asset asset = library.addScreenshot("S/L0/001", 0);
  AssetResource& resource = library.assets.back().resources.back();
  resource.contentVersion = "v1";
  library.writes["S/L0/001"].data = "first";
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, dir / "S.png");
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, dir / "S.png");
  EXPECT_EQ(library.writtenPaths().size(), 1u);  // the same version is reused
  resource.contentVersion = "v2";  // the original was rewritten in place
  library.writes["S/L0/001"].data = "second";
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, dir / "S.png");
  EXPECT_EQ(shotsieve::testing::readFile(dir / "S.png"), "second");

  // A link planted under the name is replaced, never followed; its target stays as it was.
  shotsieve::testing::writeFile(dir / "../private", "secret");
  fs::remove(dir / "S.png");
  fs::create_symlink(dir / "../private", dir / "S.png");
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, dir / "S.png");
  EXPECT_FALSE(fs::is_symlink(dir / "S.png"));
  EXPECT_EQ(shotsieve::testing::readFile(dir / "S.png"), "second");
  EXPECT_EQ(shotsieve::testing::readFile(dir / "../private"), "secret");
  fs::remove(dir / "../private");
  // A FIFO is replaced too; a folder under the name is never removed: the entry is missing.
  fs::remove(dir / "S.png");
  ASSERT_EQ(::mkfifo((dir / "S.png").c_str(), 0600), 0);
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, dir / "S.png");
  EXPECT_TRUE(fs::is_regular_file(dir / "S.png"));
  fs::remove(dir / "S.png");
  fs::create_directories(dir / "S.png/inside");
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, std::nullopt);
  EXPECT_TRUE(fs::exists(dir / "S.png/inside"));
  for (const auto& name : namesIn(dir.path())) EXPECT_EQ(name, "S.png");  // no .part left behind
}

// A copy made before versions were kept is current while it was born after the original changed.
TEST_F(ExportTest, ACopyWithoutARecordedVersionGoesByItsBirth) {
  const Asset asset = library.addScreenshot("B/L0/001", 0);
  AssetResource& resource = library.assets.back().resources.back();
  resource.contentVersion = "v1";
  shotsieve::testing::writeFile(dir / "B.png", "old copy");
  struct statx info;
  ASSERT_EQ(::statx(AT_FDCWD, (dir / "B.png").c_str(), 0, STATX_BTIME, &info), 0);
  if (!(info.stx_mask & STATX_BTIME)) GTEST_SKIP() << "this file system keeps no birth times";
  const std::int64_t born = info.stx_btime.tv_sec * 1000000000LL + info.stx_btime.tv_nsec;
  resource.changedNanoseconds = born - 1000000000LL;
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, dir / "B.png");
  EXPECT_EQ(shotsieve::testing::readFile(dir / "B.png"), "old copy");
  resource.changedNanoseconds = born + 1000000000LL;  // changed after the copy was made
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, dir / "B.png");
  EXPECT_EQ(shotsieve::testing::readFile(dir / "B.png"), "image data");
}

TEST_F(ExportTest, AFolderThatOthersCanChangeIsNotUsed) {
  const Asset asset = library.addScreenshot("W/L0/001", 0);
  fs::permissions(dir.path(), fs::perms::all);
  EXPECT_EQ(exportOriginal(library, asset, dir.path()).path, std::nullopt);
  EXPECT_TRUE(library.writtenPaths().empty());
  EXPECT_TRUE(namesIn(dir.path()).empty());
  // Ours, but inside a folder every user can write: anyone could swap it for
  // theirs. With the sticky bit (as /tmp has) nobody can.
  fs::permissions(dir.path(), fs::perms::owner_all);
  fs::create_directories(dir / "open/ours");
  fs::permissions(dir / "open", fs::perms::all);
  EXPECT_EQ(exportOriginal(library, asset, dir / "open/ours").path, std::nullopt);
  fs::permissions(dir / "open", fs::perms::all | fs::perms::sticky_bit);
  EXPECT_EQ(exportOriginal(library, asset, dir / "open/ours").path, dir / "open/ours/W.png");
}

// The export directory is tagged as a cache when it is new or holds only what exports make.
TEST_F(ExportTest, OnlyOwnDirectoriesAreTaggedAndTheLibraryIsNeverWrittenInto) {
  EXPECT_TRUE(ExportDirectory::prepare(dir / "new/shots", library).usable());
  EXPECT_TRUE(fs::exists(dir / "new/shots/CACHEDIR.TAG"));
  EXPECT_FALSE(fs::exists(dir / "new/CACHEDIR.TAG"));
  fs::create_directories(dir / "ours");
  shotsieve::testing::writeFile(dir / "ours/40B314D6-141D-5673-93BE-13AAE5A54B73.png", "");
  ExportDirectory::prepare(dir / "ours", library);
  EXPECT_TRUE(fs::exists(dir / "ours/CACHEDIR.TAG"));
  fs::create_directories(dir / "documents");
  shotsieve::testing::writeFile(dir / "documents/thesis.tex", "");
  EXPECT_TRUE(ExportDirectory::prepare(dir / "documents", library).usable());
  EXPECT_FALSE(fs::exists(dir / "documents/CACHEDIR.TAG"));

  library.folderPlaces[dir / "documents"] = FolderPlace::insideLibrary;  // cannot be tagged: copies would be read back
  EXPECT_FALSE(ExportDirectory::prepare(dir / "documents", library).usable());
  library.folderPlaces[dir / "pictures"] = FolderPlace::libraryRoot;  // new, but never tagged
  EXPECT_FALSE(ExportDirectory::prepare(dir / "pictures", library).usable());
  EXPECT_FALSE(fs::exists(dir / "pictures/CACHEDIR.TAG"));
  library.folderPlaces[dir / "home"] = FolderPlace::aboveLibrary;
  EXPECT_TRUE(ExportDirectory::prepare(dir / "home", library).usable());
  EXPECT_FALSE(fs::exists(dir / "home/CACHEDIR.TAG"));
}

}  // namespace
}  // namespace shotsieve
