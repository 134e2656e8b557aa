#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "image_fixtures.h"
#include "photos/folder/scan/folder_memory.h"
#include "photos/folder/scan/library_scan.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

constexpr std::int64_t kSecond = 1'000'000'000;

FolderStamp stampOf(const std::string& folder) {
  struct stat info;
  EXPECT_EQ(::stat(folder.c_str(), &info), 0);
  return {info.st_dev, info.st_ino, info.st_mtim.tv_sec * kSecond + info.st_mtim.tv_nsec,
          info.st_ctim.tv_sec * kSecond + info.st_ctim.tv_nsec};
}

TEST(FolderStampTest, AStampTakenSoonAfterAChangeIsNotTrusted) {
  const std::int64_t changed = 1'700'000'000 * kSecond;
  // In the same second as the change, or within a FAT clock's 2 s of it, a
  // later change may leave the same stamp.
  EXPECT_FALSE(stampTrusted({1, 2, changed, changed}, changed));
  EXPECT_FALSE(stampTrusted({1, 2, changed, changed}, changed + kSecond / 2));
  EXPECT_FALSE(stampTrusted({1, 2, changed, changed}, changed + 2 * kSecond));
  EXPECT_TRUE(stampTrusted({1, 2, changed, changed}, changed + 3 * kSecond));
  // A modification time put back does not hide a recent change time.
  EXPECT_FALSE(stampTrusted({1, 2, changed - 100 * kSecond, changed}, changed + kSecond));
}

TEST(FolderMemoryTest, KeepsWhatIsTrueAndDropsADamagedFile) {
  ScratchDir scratch;
  const std::string file = scratch / "folder-stamps";
  const FolderStamp stamp{7, 8, 100 * kSecond, 100 * kSecond};
  {
    FolderMemory memory(file);
    memory.load();
    memory.remember("", FolderRecord{stamp, 200 * kSecond, std::string("fa.png\0dShots\0fb.mov\0lc.png\0", 28)});
    memory.remember("Shots", FolderRecord{stamp, 100 * kSecond, std::string("lb.png\0", 7)});  // read in its change's tick
    memory.save();
  }
  FolderMemory memory(file);
  memory.load();
  ASSERT_NE(memory.unchanged("", stamp), nullptr);
  // The files' names are read only when asked for.
  EXPECT_EQ(memory.unchanged("", stamp)->entries, std::string_view("dShots\0lc.png\0", 14));
  const FolderRecord* root = memory.withFiles("");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(memory.unchanged("", stamp), root);
  std::vector<std::string> entries;
  forEachEntry(root->entries, [&](char kind, std::string_view name) { entries.push_back(kind + std::string(name)); });
  // Kept with subfolders and links first, files counted: what a walk of folders reads.
  EXPECT_EQ(entries, (std::vector<std::string>{"dShots", "lc.png", "fa.png", "fb.mov"}));
  EXPECT_EQ(root->entries.substr(0, root->filesAt), std::string_view("dShots\0lc.png\0", 14));
  EXPECT_EQ(root->files(kImageMediaType), 1u);
  EXPECT_EQ(root->files(std::nullopt), 2u);
  EXPECT_EQ(memory.unchanged("Shots", stamp), nullptr) << "read too soon after its change";
  EXPECT_EQ(memory.unchanged("", FolderStamp{7, 8, 100 * kSecond, 101 * kSecond}), nullptr) << "changed since";
  EXPECT_EQ(memory.unchanged("Other", stamp), nullptr);

  const auto size = fs::file_size(file);
  for (const std::uintmax_t at : {std::uintmax_t{0}, std::uintmax_t{30}, size - 1}) {
    fs::copy_file(file, scratch / "damaged", fs::copy_options::overwrite_existing);
    std::fstream damaged(scratch / "damaged", std::ios::in | std::ios::out | std::ios::binary);
    damaged.seekp(static_cast<std::streamoff>(at));
    damaged.put('\x5a');
    damaged.close();
    FolderMemory read(scratch / "damaged");
    read.load();
    if (at == size - 1) {
      // In the files' names: the folder's record holds, its names do not.
      EXPECT_NE(read.unchanged("", stamp), nullptr);
      EXPECT_EQ(read.withFiles(""), nullptr);
    } else {
      EXPECT_EQ(read.unchanged("", stamp), nullptr) << "byte " << at;
    }
  }
  {
    // A record naming ".." (checksum and all) is no record: the walk would leave the library.
    FolderMemory forged(scratch / "forged");
    forged.remember("", FolderRecord{stamp, 200 * kSecond, std::string("d..\0fa.png\0", 12)});
    forged.save();
    FolderMemory read(scratch / "forged");
    read.load();
    EXPECT_EQ(read.unchanged("", stamp), nullptr);
  }
  fs::resize_file(file, size - 5);
  FolderMemory torn(file);
  torn.load();
  EXPECT_EQ(torn.unchanged("", stamp), nullptr);
}

// A watch's baseline tells the watcher the files of the folders it passed
// over by name: read first, in one read; a folder whose names are damaged is
// not passed over but read, and no entry is let go of by names unknown.
TEST(FolderMemoryTest, AFolderWhoseNamesAreDamagedIsNotPassedOverWhenTheyAreWanted) {
  ScratchDir scratch;
  const std::string file = scratch / "folder-stamps";
  const FolderStamp stamp{7, 8, 100 * kSecond, 100 * kSecond};
  const FilesOutlook old{50, false};
  {
    FolderMemory memory(file);
    memory.remember("A", FolderRecord{stamp, 200 * kSecond, std::string("fa.png\0dSub\0fb.png\0", 20), old, kImageMediaType});
    memory.remember("B", FolderRecord{stamp, 200 * kSecond, std::string("fzz.png\0", 8), old, kImageMediaType});
    memory.save();
  }
  std::string bytes = shotsieve::testing::readFile(file);
  bytes[bytes.find("zz")] ^= 1;
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

  for (const bool wanted : {false, true}) {
    FolderMemory memory(file);
    memory.load();
    memory.passOverFilesFor(screenshotQuery());
    if (wanted) memory.keepNamesOfFilesPassedOver();
    for (const std::string folder : {"A", "B"}) {
      const FolderRecord* record = memory.unchanged(folder, stamp);
      ASSERT_NE(record, nullptr);
      const bool passed = memory.passesOverFilesOf(folder, *record, kImageMediaType);
      EXPECT_EQ(passed, folder == "A" || !wanted) << folder;
      if (passed) memory.passedOver(record->files(kImageMediaType));
    }
    if (!wanted) {
      EXPECT_TRUE(memory.foldersPassedOver().empty()) << "names not read are not told";
      EXPECT_EQ(memory.hashesOfFilesPassedOver(), std::nullopt);
      continue;
    }
    const auto folders = memory.foldersPassedOver();
    ASSERT_EQ(folders.size(), 1u);
    std::vector<std::string> paths;
    forEachFilePassedOver(folders[0], [&](const std::string& path) { paths.push_back(path); });
    EXPECT_EQ(paths, (std::vector<std::string>{"A/a.png", "A/b.png"}));
    EXPECT_EQ(memory.hashesOfFilesPassedOver()->size(), 2u);
  }
}

struct Visited {
  std::set<std::string> files, unchanged;
};

Visited walkWith(const std::string& root, FolderMemory& memory) {
  Visited visited;
  walkLibrary(root, std::nullopt, [&](const LibraryFile& file) {
    visited.files.insert(file.relativePath);
    if (file.folderUnchanged) visited.unchanged.insert(file.relativePath);
  }, {}, FolderHandles::closedWithTheWalk, &memory);
  return visited;
}

TEST(FolderMemoryTest, AWalkTakesAFolderWhoseStampHoldsFromMemoryAndReadsOneThatChanged) {
  ScratchDir scratch;
  const std::string root = scratch / "Pictures";
  fs::create_directories(root + "/Shots");
  std::ofstream(root + "/Shots/a.png") << "x";
  std::ofstream(root + "/top.png") << "x";
  const std::string file = scratch / "folder-stamps";
  {
    // What a walk long after the folder's last change would have kept;
    // its entries differ from the folder's so that their use shows.
    const FolderStamp stamp = stampOf(root + "/Shots");
    FolderMemory memory(file);
    memory.remember("Shots", FolderRecord{stamp, stamp.changedNanoseconds + 10 * kSecond,
                                          std::string("fremembered.png\0", 16)});
    memory.save();
  }
  {
    // Its files' names damaged in the file: the folder is read instead.
    std::string bytes = shotsieve::testing::readFile(file);
    bytes[bytes.size() - 2] ^= 1;  // a letter of the last name: only its checksum tells
    std::ofstream(scratch / "damaged", std::ios::binary) << bytes;
    FolderMemory damaged(scratch / "damaged");
    damaged.load();
    const Visited walked = walkWith(root, damaged);
    EXPECT_EQ(walked.files, (std::set<std::string>{"Shots/a.png", "top.png"}));
    EXPECT_TRUE(walked.unchanged.empty());
  }
  FolderMemory memory(file);
  memory.load();
  const Visited first = walkWith(root, memory);
  EXPECT_EQ(first.files, (std::set<std::string>{"Shots/remembered.png", "top.png"}));
  EXPECT_EQ(first.unchanged, (std::set<std::string>{"Shots/remembered.png"}));
  memory.save();

  std::ofstream(root + "/Shots/b.png") << "x";
  FolderMemory after(file);
  after.load();
  const Visited second = walkWith(root, after);
  EXPECT_EQ(second.files, (std::set<std::string>{"Shots/a.png", "Shots/b.png", "top.png"}));
  EXPECT_TRUE(second.unchanged.empty()) << "the root was read just now, the folder changed";
}

// A folder vouched for by its stamp whose files a fetch passes over is not
// opened: its record is kept and its files counted as met, and a cache tag
// written into it in place (which leaves its stamp as it was) still takes it
// out of the library.
TEST(FolderMemoryTest, AFolderPassedOverByItsStampIsKeptAndLeftOutOnceTaggedAsACache) {
  ScratchDir scratch;
  const std::string root = scratch / "Pictures";
  fs::create_directories(root + "/Old");
  std::ofstream(root + "/Old/a.png") << "x";
  std::ofstream(root + "/Old/CACHEDIR.TAG") << "not a tag yet";
  const std::string file = scratch / "folder-stamps";
  const FolderStamp stamp = stampOf(root + "/Old");
  {
    FolderMemory memory(file);
    memory.remember("Old", FolderRecord{stamp, stamp.changedNanoseconds + 10 * kSecond, std::string("fa.png\0", 7),
                                        FilesOutlook{50, false}, 0});
    memory.save();
  }
  const auto passedOver = [&] {
    FolderMemory memory(file);
    memory.load();
    memory.passOverFilesFor(screenshotQuery());
    EXPECT_TRUE(walkWith(root, memory).files.empty());
    memory.save();
    return memory.filesPassedOver();
  };
  EXPECT_EQ(passedOver(), 1u);
  FolderMemory kept(file);
  kept.load();
  EXPECT_NE(kept.unchanged("Old", stamp), nullptr);

  std::ofstream(root + "/Old/CACHEDIR.TAG") << "Signature: 8a477f597d28d172789f06886806bc55\n";
  ASSERT_EQ(stampOf(root + "/Old"), stamp);
  EXPECT_EQ(passedOver(), 0u);
  FolderMemory after(file);
  after.load();
  EXPECT_EQ(after.unchanged("Old", stamp), nullptr) << "a cache is no folder of the library";
}

// Walks of overlapping runs each write the file whole: a reader meets one
// writer's records, never a mix, a torn file or none; and the file of an
// earlier version is not read but replaced.
TEST(FolderMemoryTest, OverlappingWritersLeaveOneWholeFileAndAnOldVersionIsReplaced) {
  ScratchDir scratch;
  const std::string file = scratch / "folder-stamps";
  constexpr int kFolders = 200;
  const auto write = [&](std::int64_t device) {
    for (int round = 0; round < 20; ++round) {
      FolderMemory memory(file);
      memory.load();
      for (int folder = 0; folder < kFolders; ++folder) {
        const FolderStamp stamp{static_cast<std::uint64_t>(device), static_cast<std::uint64_t>(folder), kSecond, kSecond};
        memory.remember("f" + std::to_string(folder), FolderRecord{stamp, 100 * kSecond, std::string("fa.png\0", 7)});
      }
      memory.save();
    }
  };
  {
    FolderMemory before(file);
    for (int folder = 0; folder < kFolders; ++folder) {
      const FolderStamp stamp{0, static_cast<std::uint64_t>(folder), kSecond, kSecond};
      before.remember("f" + std::to_string(folder), FolderRecord{stamp, 100 * kSecond, std::string("fa.png\0", 7)});
    }
    before.save();
  }
  std::thread first(write, 1), second(write, 2);
  int mixes = 0;
  for (int read = 0; read < 200; ++read) {
    FolderMemory memory(file);
    memory.load();
    std::array<int, 3> byWriter{};
    for (int folder = 0; folder < kFolders; ++folder) {
      for (std::uint64_t writer = 0; writer < byWriter.size(); ++writer) {
        const FolderStamp stamp{writer, static_cast<std::uint64_t>(folder), kSecond, kSecond};
        byWriter[writer] += memory.unchanged("f" + std::to_string(folder), stamp) != nullptr;
      }
    }
    mixes += std::count(byWriter.begin(), byWriter.end(), kFolders) != 1;
    // Names read after a writer replaced the file are still those of the file loaded.
    const FolderRecord* withFiles = memory.withFiles("f" + std::to_string(read % kFolders));
    mixes += withFiles == nullptr || withFiles->entries != std::string_view("fa.png\0", 7);
  }
  first.join();
  second.join();
  EXPECT_EQ(mixes, 0) << "reads that met no whole file of one writer";
  std::size_t beside = 0;
  for (const auto& entry : fs::directory_iterator(scratch.path())) beside += entry.path() != file;
  EXPECT_EQ(beside, 0u) << "temporaries left";

  // Records that load, then the same under the previous version's first line.
  const FolderStamp stamp{3, 0, kSecond, kSecond};
  {
    FolderMemory memory(file);
    memory.remember("f0", FolderRecord{stamp, 100 * kSecond, std::string("fa.png\0", 7)});
    memory.save();
    FolderMemory read(file);
    read.load();
    ASSERT_NE(read.unchanged("f0", stamp), nullptr);
  }
  std::string bytes = shotsieve::testing::readFile(file);
  const auto version = bytes.find('\n') - 1;
  ASSERT_EQ(bytes[version], '4');
  bytes[version] = '3';
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  FolderMemory old(file);
  old.load();
  EXPECT_EQ(old.unchanged("f0", stamp), nullptr);
  old.remember("f0", FolderRecord{stamp, 100 * kSecond, std::string("fa.png\0", 7)});
  old.save();
  FolderMemory replaced(file);
  replaced.load();
  EXPECT_NE(replaced.unchanged("f0", stamp), nullptr);
}

}  // namespace
}  // namespace shotsieve::folder
