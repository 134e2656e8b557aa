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
using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

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
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"U1.heic"});
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
  EXPECT_TRUE(entries(dir.path()).empty());
  EXPECT_EQ(library.writtenPaths().size(), 2u);
  EXPECT_TRUE(library.writtenPaths()[0].ends_with(".part"));
  EXPECT_TRUE(library.writtenPaths()[0].starts_with(dir / "F.png."));
}

TEST_F(ExportTest, ACompletionThatNeverComesOrComesLateTimesOutSafely) {
  const Asset never = library.addScreenshot("N/L0/001", 0);
  library.writes["N/L0/001"].outcome = MemoryLibrary::WriteOutcome::never;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(exportOriginal(library, never, dir.path(), NetworkAccess::allowed, 100ms).path, std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
  const Asset late = library.addScreenshot("L/L0/001", 0);
  library.writes["L/L0/001"].delay = 300ms;
  const ExportResult result = exportOriginal(library, late, dir.path(), NetworkAccess::notAllowed, 50ms);
  EXPECT_EQ(result.path, std::nullopt);
  EXPECT_EQ(result.filename, "shot.png");
  EXPECT_EQ(library.writeOptions().back().networkAccess, NetworkAccess::notAllowed);
  std::this_thread::sleep_for(400ms);  // the late completion runs into live state
  for (const auto& name : entries(dir.path())) EXPECT_TRUE(name.ends_with(".part")) << name;
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
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"C.png"});
  EXPECT_EQ(shotsieve::testing::readFile(dir / "C.png"), std::string(100000, 'c'));
}

}  // namespace
}  // namespace shotsieve
