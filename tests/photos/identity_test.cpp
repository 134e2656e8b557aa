#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "image_fixtures.h"
#include "photos/folder/folder_library.h"
#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/scan/asset_identity.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::PngFixture;
using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

// What the identifier of a file first seen has always been.
TEST(Identity, AFileFirstSeenGetsTheIdentifierItAlwaysGot) {
  const struct {
    const char* path;
    std::int64_t time;
    const char* identifier;
  } known[] = {
      {"Screenshots/Screenshot from 2026-12-06 09-41-07.png", 1765013067123456789LL,
       "9C49095D-50A0-56BD-92EC-3F3B033A25A1/L0/001"},
      {"a.png", 0, "C267CFA2-9B8A-5170-8D39-0CBC2BA599FA/L0/001"},
      {"Bilder/Bildschirmfoto vom 2026-12-05 18-02-55.png", 1700000000000000000LL,
       "74D3EB76-352D-5659-9AD9-F468F01CF77E/L0/001"},
      {"x/y/z/屏幕截图.png", 42, "A9B66777-D71B-56D6-A8B3-41A704ACDFF4/L0/001"},
  };
  for (const auto& file : known) EXPECT_EQ(assetLocalIdentifier(file.path, file.time), file.identifier) << file.path;
}

// The index's rules, on versions made up for the purpose: birth times where
// the file system keeps them, and where it does not.
TEST(Identity, TheIndexKnowsAFileByItselfNotByItsName) {
  MetadataIndex index("");
  ImageFacts facts;
  facts.format = FileFormat::png;
  const auto given = [&](const std::string& path, const FileStamp& stamp, std::uint8_t mark) {
    index.store(path, stamp, facts);
    return index.identifierOf(path, stamp, [&](int attempt) {
      Uuid uuid{};
      uuid[0] = mark;
      uuid[1] = static_cast<std::uint8_t>(attempt);
      return uuid;
    });
  };
  const FileStamp born{100, 5, 7, 5, 3};
  const Uuid first = given("a.png", born, 1);
  EXPECT_EQ(given("renamed/a.png", FileStamp{100, 9, 7, 9, 3}, 2), first);  // moved and touched: the same file
  EXPECT_NE(given("a.png", FileStamp{100, 9, 8, 9, 4}, 3), first);          // another file at the old name
  EXPECT_NE(given("b.png", FileStamp{100, 5, 7, 5, 6}, 4), first);          // the inode taken by a new file
  // Without birth times: the same inode at the same name, or moved with its size and time.
  const FileStamp plain{200, 50, 70, 50, 0};
  const Uuid second = given("c.png", plain, 5);
  EXPECT_EQ(given("c.png", FileStamp{200, 99, 70, 99, 0}, 6), second);       // touched
  EXPECT_EQ(given("d/c.png", FileStamp{200, 99, 70, 120, 0}, 7), second);    // then moved
  EXPECT_NE(given("e.png", FileStamp{300, 120, 70, 120, 0}, 8), second);     // the inode reused: another size and time
  // An identifier already given to another file is never given again.
  const Uuid taken = given("f.png", FileStamp{1, 1, 11, 1, 1}, 9);
  const Uuid next = given("g.png", FileStamp{1, 1, 12, 1, 1}, 9);
  EXPECT_NE(next, taken);
  EXPECT_EQ(next[1], 1);  // the next attempt
}

// Where inode numbers do not last, the inode is a digest of the content: a
// rename that restamps the file keeps its identifier and its first date,
// through a save and a load; other content is another file.
TEST(Identity, AFingerprintedFileKeepsItsIdentifierAndDate) {
  ScratchDir dir;
  const std::string path = dir.path() + "/index";
  ImageFacts facts;
  facts.format = FileFormat::png;
  const auto stamp = [](std::uint64_t fingerprint, std::int64_t time) {
    FileStamp made{100, time, fingerprint, time, 0};
    made.fingerprinted = true;
    return made;
  };
  const auto given = [&](MetadataIndex& index, const std::string& name, const FileStamp& version, std::uint8_t mark) {
    index.store(name, version, facts);
    return index.identifierOf(name, version, [&](int) { return Uuid{mark}; });
  };
  Uuid first;
  {
    MetadataIndex index(path);
    first = given(index, "a.png", stamp(77, 1000), 1);
    index.save(MetadataIndex::Seen::everyFile);
  }
  MetadataIndex index(path);
  EXPECT_EQ(given(index, "a.png", stamp(77, 5000), 2), first);  // remounted, restamped
  EXPECT_EQ(index.keptFileTime("a.png", stamp(77, 5000)), 1000);
  EXPECT_EQ(given(index, "b.png", stamp(77, 9000), 3), first);  // renamed
  EXPECT_EQ(index.keptFileTime("b.png", stamp(77, 9000)), 1000);
  EXPECT_NE(given(index, "c.png", stamp(78, 1000), 4), first);  // other content, same times
  FileStamp unprinted = stamp(77, 1000);
  unprinted.fingerprinted = false;  // an inode number that happens to equal a digest
  EXPECT_NE(given(index, "d.png", unprinted, 5), first);
}

class IdentityOnDisk : public ::testing::Test {
 protected:
  IdentityOnDisk() { fs::create_directories(root() + "/Screenshots"); }
  std::string root() const { return home / "Pictures"; }
  LibraryLocation location() const { return {root(), home / "state/access", home / "cache"}; }
  // The identifier of each screenshot, by name, through a library of its own (a process of its own).
  std::map<std::string, std::string> identifiers() {
    FolderLibrary library(location(), "");
    std::map<std::string, std::string> found;
    for (const auto& asset : library.fetchAssetsWithOptions(screenshotQuery()).assets) {
      found[fs::path(asset.locator).filename()] = asset.localIdentifier;
    }
    return found;
  }
  std::int64_t birthOrModified(const std::string& path) {
    struct statx info;
    ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &info);
    const auto& time = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
  }

  ScratchDir home;
};

TEST_F(IdentityOnDisk, RenamesMovesTouchesAndHardLinksKeepTheIdentifier) {
  const std::string shots = root() + "/Screenshots/";
  shotsieve::testing::writePng(shots + "a.png", PngFixture{64, 32});
  shotsieve::testing::writePng(shots + "b.png", PngFixture{65, 32});
  const auto before = identifiers();
  ASSERT_EQ(before.size(), 2u);
  // Untouched files get what the landed formula gives.
  EXPECT_EQ(before.at("a.png"), assetLocalIdentifier("Screenshots/a.png", birthOrModified(shots + "a.png")));
  fs::rename(shots + "a.png", shots + "sorted.png");
  fs::create_directories(shots + "2026/12");
  fs::rename(shots + "b.png", shots + "2026/12/b.png");
  fs::last_write_time(shots + "sorted.png", fs::file_time_type::clock::now() - std::chrono::hours(5));
  fs::create_hard_link(shots + "sorted.png", shots + "another-name.png");
  const auto after = identifiers();
  EXPECT_EQ(after.size(), 2u) << "two names of one file are one asset";
  EXPECT_EQ(after.count("sorted.png") + after.count("another-name.png"), 1u);
  const std::string renamed = after.count("sorted.png") ? after.at("sorted.png") : after.at("another-name.png");
  EXPECT_EQ(renamed, before.at("a.png"));
  EXPECT_EQ(after.at("b.png"), before.at("b.png"));
}

TEST_F(IdentityOnDisk, AFileReplacedAtItsNameIsANewAsset) {
  const std::string path = root() + "/Screenshots/a.png";
  shotsieve::testing::writePng(path, PngFixture{64, 32});
  const std::string first = identifiers().at("a.png");
  shotsieve::testing::writePng(path + ".tmp", PngFixture{128, 64});
  fs::rename(path + ".tmp", path);  // saved through a temporary file
  const std::string second = identifiers().at("a.png");
  EXPECT_NE(second, first);
  fs::remove(path);
  shotsieve::testing::writePng(path, PngFixture{256, 64});  // deleted and written anew
  EXPECT_NE(identifiers().at("a.png"), second);
}

// A lost or damaged index: identifiers are worked out afresh, and nothing breaks.
TEST_F(IdentityOnDisk, WithoutItsIndexAFileGetsTheIdentifierOfItsNameAgain) {
  const std::string shots = root() + "/Screenshots/";
  shotsieve::testing::writePng(shots + "a.png", PngFixture{64, 32});
  identifiers();
  fs::rename(shots + "a.png", shots + "b.png");
  for (const std::string& damage :
       std::vector<std::string>{"", "shotsieve metadata index 6\ngarbage", std::string(4096, '\xff')}) {
    shotsieve::testing::writeFile(home / "cache/metadata-index", damage);
    EXPECT_EQ(identifiers().at("b.png"), assetLocalIdentifier("Screenshots/b.png", birthOrModified(shots + "b.png")));
  }
}

// Only a walk that read every folder may take a file it did not meet for
// gone: a library away for one listing, a walk of the images alone or a
// folder swapped out from under the walk forgets no identifier.
TEST_F(IdentityOnDisk, WhatAWalkDidNotLookAtIsNotForgotten) {
  const std::string shots = root() + "/Screenshots/";
  shotsieve::testing::writePng(shots + "a.png", PngFixture{64, 32});
  shotsieve::testing::writeFile(root() + "/clip.mp4", std::string("\0\0\0\x18" "ftypmp42\0\0\0\0mp42isom", 24));
  {
    FolderLibrary library(location(), "");
    EXPECT_EQ(library.fetchAssetsWithOptions(FetchOptions{}).count(), 2u);  // both kinds indexed
  }
  const std::string first = identifiers().at("a.png");  // a walk of the images only
  fs::rename(shots + "a.png", shots + "renamed.png");
  fs::rename(root(), home / "away");  // an unmounted disk looks like this
  EXPECT_TRUE(identifiers().empty());
  fs::rename(home / "away", root());
  EXPECT_EQ(identifiers().at("renamed.png"), first);
  const auto clip = [&] {
    FolderLibrary library(location(), "");
    return library.fetchAssetsWithOptions(FetchOptions{kVideoMediaType}).assets.at(0).localIdentifier;
  };
  const std::string video = clip();
  fs::rename(root() + "/clip.mp4", root() + "/moved.mp4");
  identifiers();  // the screenshot query does not walk the videos
  EXPECT_EQ(clip(), video);
}

// Two processes, each with its own view of the index, merge what they learnt:
// a watcher's identifiers are not lost to a listing that saves after it.
TEST(Identity, IndexesSavedInTurnKeepEachOthersEntries) {
  ScratchDir dir;
  ImageFacts facts;
  facts.format = FileFormat::png;
  const FileStamp a{1, 1, 1, 1, 1}, b{2, 2, 2, 2, 2}, gone{3, 3, 3, 3, 3};
  {
    MetadataIndex setup(dir / "index");
    setup.store("gone.png", gone, facts);
    setup.save();
  }
  MetadataIndex listing(dir / "index"), watcher(dir / "index");
  EXPECT_TRUE(listing.find("gone.png", gone));  // both have loaded the file as it was
  EXPECT_TRUE(watcher.find("gone.png", gone));
  const auto make = [](std::uint8_t mark) { return [mark](int) { Uuid uuid{}; uuid[0] = mark; return uuid; }; };
  watcher.store("b.png", b, facts);
  const Uuid fromWatcher = watcher.identifierOf("b.png", b, make(2));
  watcher.save(MetadataIndex::Seen::someFiles, MetadataIndex::Afterwards::keepLoaded);
  listing.store("a.png", a, facts);
  listing.identifierOf("a.png", a, make(1));
  listing.forget("gone.png");
  listing.save(MetadataIndex::Seen::everyFile);  // a walk that did not meet b.png, which came after it loaded
  MetadataIndex reread(dir / "index");
  EXPECT_TRUE(reread.find("a.png", a));
  EXPECT_TRUE(reread.find("b.png", b));
  EXPECT_FALSE(reread.find("gone.png", gone));
  EXPECT_EQ(reread.identifierOf("b.png", b, make(9)), fromWatcher);
}

}  // namespace
}  // namespace shotsieve::folder
