#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

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
    memory.remember("", FolderRecord{stamp, 200 * kSecond, std::string("dShots\0fa.png\0", 14)});
    memory.remember("Shots", FolderRecord{stamp, 100 * kSecond, std::string("lb.png\0", 7)});  // read in its change's tick
    memory.save();
  }
  FolderMemory memory(file);
  memory.load();
  const FolderRecord* root = memory.unchanged("", stamp);
  ASSERT_NE(root, nullptr);
  std::vector<std::string> entries;
  forEachEntry(root->entries, [&](char kind, std::string_view name) { entries.push_back(kind + std::string(name)); });
  EXPECT_EQ(entries, (std::vector<std::string>{"dShots", "fa.png"}));
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
    EXPECT_EQ(read.unchanged("", stamp), nullptr) << "byte " << at;
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

}  // namespace
}  // namespace shotsieve::folder
