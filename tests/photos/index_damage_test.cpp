// The metadata index against damage: a flipped bit never changes an entry,
// an old index keeps its identifiers, and a watcher's journal is read by
// every other process at once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>

#include "image_fixtures.h"
#include "photos/folder/metadata/index_record.h"
#include "photos/folder/metadata/metadata_index.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::ScratchDir;

std::string recordOf(const IndexEntry& entry) {
  std::string bytes(kIndexRecordSize, '\0');
  encodeIndexRecord(entry, bytes.data());
  return bytes;
}

Uuid uuidMarked(std::uint8_t mark) {
  Uuid uuid{};
  uuid.fill(mark);
  return uuid;
}

// Three entries of every kind the index keeps, saved as a listing saves them.
std::set<std::string> saveSmallIndex(const std::string& path) {
  MetadataIndex index(path);
  ImageFacts png;
  png.format = FileFormat::png;
  png.width = 259;
  png.height = 63;
  png.headerRead = true;
  png.captureDate = 1765000000.5;
  ImageFacts jpeg = png;
  jpeg.format = FileFormat::jpeg;
  jpeg.width = 4032;
  jpeg.markedScreenshot = true;
  const FileStamp a{1000, 11, 21, 31, 41}, b{2000, 12, 22, 32, 42}, c{3000, 13, 23, 33, 0};
  index.store("Screenshots/a.png", a, png);
  index.store("Camera/b.jpg", b, jpeg);
  index.store("c.png", c, ImageFacts{});
  index.identifierOf("Screenshots/a.png", a, [](int) { return uuidMarked(0xA1); });
  index.identifierOf("Camera/b.jpg", b, [](int) { return uuidMarked(0xB2); });
  index.save(MetadataIndex::Seen::someFiles);
  std::set<std::string> records;
  const auto contents = readIndexFile(path);
  for (const auto& entry : contents->entries) records.insert(recordOf(entry));
  return records;
}

TEST(IndexDamage, EveryFlippedBitLeavesTheOriginalEntriesOrNone) {
  ScratchDir dir;
  const std::string path = dir / "index";
  const std::set<std::string> originals = saveSmallIndex(path);
  ASSERT_EQ(originals.size(), 3u);
  const std::string bytes = shotsieve::testing::readFile(path);
  std::size_t lost = 0;
  for (std::size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    std::string damaged = bytes;
    damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
    shotsieve::testing::writeFile(path, damaged);
    const auto contents = readIndexFile(path);
    ASSERT_TRUE(contents) << bit;
    std::set<std::string> loaded;
    for (const auto& entry : contents->entries) {
      const std::string record = recordOf(entry);
      ASSERT_TRUE(originals.contains(record)) << "bit " << bit << " changed an entry instead of losing it";
      loaded.insert(record);
    }
    EXPECT_EQ(loaded.size(), contents->entries.size()) << bit;
    EXPECT_EQ(contents->mended, loaded.size() < originals.size()) << "a damaged index is written back, bit " << bit;
    lost += originals.size() - loaded.size();
  }
  EXPECT_GE(lost, bytes.size() * 8 - 27 * 8) << "every flip inside a record costs that record";
}

// Values no file can give are not believed, checksum or not.
// A listing searches a large index where it lies: every entry is found, a
// damaged one is not served, and the next save writes the index back without it.
TEST(IndexDamage, AnIndexSearchedInPlaceServesOnlyWholeEntriesAndIsMended) {
  ScratchDir dir;
  const std::string path = dir / "index";
  ImageFacts facts;
  facts.format = FileFormat::png;
  facts.width = 640;
  const auto stampOf = [](int i) { return FileStamp{static_cast<std::uint64_t>(i + 1), i, static_cast<std::uint64_t>(i), i, i}; };
  {
    MetadataIndex index(path);
    for (int i = 0; i < 3000; ++i) index.store("shot-" + std::to_string(i) + ".png", stampOf(i), facts);
    index.save();
  }
  // Damage the record of one entry: its size word, after its hash.
  const std::uint64_t hurt = MetadataIndex::pathHash("shot-1234.png");
  std::string bytes = shotsieve::testing::readFile(path);
  const std::size_t head = bytes.size() % kIndexRecordSize;
  std::size_t at = head;
  while (at < bytes.size() && std::memcmp(bytes.data() + at, &hurt, sizeof hurt) != 0) at += kIndexRecordSize;
  ASSERT_LT(at, bytes.size());
  bytes[at + 9] ^= 0x10;
  shotsieve::testing::writeFile(path, bytes);

  MetadataIndex index(path);
  for (int i = 0; i < 3000; i += 7) {
    EXPECT_EQ(index.find("shot-" + std::to_string(i) + ".png", stampOf(i)).has_value(), i != 1234) << i;
  }
  EXPECT_FALSE(index.find("shot-1234.png", stampOf(1234)));
  EXPECT_FALSE(index.find("other.png", stampOf(1)));
  index.save();
  const auto mended = readIndexFile(path);
  ASSERT_TRUE(mended);
  EXPECT_EQ(mended->entries.size(), 2999u);
  EXPECT_FALSE(mended->mended);
}

TEST(IndexDamage, EntriesThatMakeNoSenseAreReadAgain) {
  IndexEntry entry;
  entry.format = FileFormat::jpeg;
  entry.width = 65535;
  EXPECT_TRUE(decodeIndexRecord(recordOf(entry).data()));
  for (const auto& odd : std::vector<std::function<void(IndexEntry&)>>{
           [](IndexEntry& e) { e.width = 65536; },  // more than a JPEG can be
           [](IndexEntry& e) { e.format = FileFormat::webp, e.height = 16385; },
           [](IndexEntry& e) { e.format = FileFormat::unknown, e.width = 3; },
           [](IndexEntry& e) { e.flags |= IndexEntry::kHasCapture, e.capture = -1e15; },  // before year 1
           [](IndexEntry& e) { e.flags |= IndexEntry::kHasCapture, e.capture = std::nan(""); }}) {
    IndexEntry changed = entry;
    odd(changed);
    EXPECT_FALSE(decodeIndexRecord(recordOf(changed).data()));
  }
}

// An index of the form before checksums keeps its identifiers and is written anew.
TEST(IndexDamage, AnOldIndexIsReadOnceAndRewritten) {
  ScratchDir dir;
  const std::string path = dir / "index";
  saveSmallIndex(path);
  const std::string bytes = shotsieve::testing::readFile(path);
  std::string old = "shotsieve metadata index 5\n";
  for (std::size_t at = 27; at + kIndexRecordSize <= bytes.size(); at += kIndexRecordSize) {
    old += bytes.substr(at, kUncheckedRecordSize);
  }
  shotsieve::testing::writeFile(path, old);
  {
    MetadataIndex index(path);
    const FileStamp a{1000, 11, 21, 31, 41};
    EXPECT_EQ(index.identifierOf("Screenshots/renamed.png", a, [](int) { return uuidMarked(0xEE); }), uuidMarked(0xA1));
    index.save(MetadataIndex::Seen::someFiles);
  }
  EXPECT_TRUE(shotsieve::testing::readFile(path).starts_with("shotsieve metadata index 6\n"));
}

// What a watcher told a host is what a listing in another process finds at
// once, before the watcher's next save; the save folds it in.
TEST(IndexJournal, APublishedIdentifierIsEveryonesAtOnce) {
  ScratchDir dir;
  const std::string path = dir / "index";
  const FileStamp arrived{500, 1, 2, 3, 4};
  ImageFacts png;
  png.format = FileFormat::png;
  MetadataIndex watcher(path);
  watcher.store("Screenshots/new.png", arrived, png);
  const Uuid told = watcher.identifierOf("Screenshots/new.png", arrived, [](int) { return uuidMarked(0x77); });
  watcher.publish({"Screenshots/new.png"});
  const auto listed = [&](const char* name) {
    MetadataIndex listing(path);
    return listing.identifierOf(name, arrived, [](int) { return uuidMarked(0x11); });
  };
  EXPECT_EQ(listed("Screenshots/renamed.png"), told);  // renamed before the watcher saved
  // A record cut short by a killed writer ends the journal; what came before stands.
  {
    std::string journal = shotsieve::testing::readFile(path + ".journal");
    shotsieve::testing::writeFile(path + ".journal", journal + journal.substr(0, 40));
  }
  EXPECT_EQ(listed("Screenshots/renamed.png"), told);
  // A run that learns nothing still folds in what a watcher killed before its
  // save left: else every later run would read the index whole.
  {
    MetadataIndex quiet(path);
    quiet.keep("Screenshots/new.png");
    quiet.save();
  }
  EXPECT_EQ(shotsieve::testing::readFile(path + ".journal"), "");
  EXPECT_EQ(listed("Screenshots/renamed.png"), told);
  watcher.save(MetadataIndex::Seen::someFiles, MetadataIndex::Afterwards::keepLoaded);
  EXPECT_EQ(shotsieve::testing::readFile(path + ".journal"), "");
  EXPECT_EQ(listed("Screenshots/renamed.png"), told);
  // The watcher keeps its journal and lock open: a cache folder cleared by
  // hand meanwhile is made again, and what it tells next reaches the others.
  std::filesystem::remove_all(dir.path());
  const FileStamp later{501, 1, 2, 3, 4};
  watcher.store("Screenshots/later.png", later, png);
  const Uuid toldLater = watcher.identifierOf("Screenshots/later.png", later, [](int) { return uuidMarked(0x78); });
  watcher.publish({"Screenshots/later.png"});
  MetadataIndex listing(path);
  EXPECT_EQ(listing.identifierOf("Screenshots/moved.png", later, [](int) { return uuidMarked(0x11); }), toldLater);
  EXPECT_TRUE(std::filesystem::exists(path + ".lock")) << "the lock the others take";
}

}  // namespace
}  // namespace shotsieve::folder
