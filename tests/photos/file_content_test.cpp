#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "image_fixtures.h"
#include "photos/folder/metadata/byte_source.h"
#include "photos/folder/metadata/file_format.h"
#include "photos/folder/metadata/image_metadata.h"
#include "photos/folder/metadata/image_wholeness.h"
#include "photos/photo_library.h"
#include "photos/unique_fd.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::JpegFixture;
using shotsieve::testing::readFile;
using shotsieve::testing::runTool;
using shotsieve::testing::ScratchDir;
using shotsieve::testing::writeFile;

std::string ftyp(std::string_view major, std::string_view compatible) {
  std::string box(4, '\0');
  box[3] = static_cast<char>(16 + compatible.size());
  return box + "ftyp" + std::string(major) + std::string(4, '\0') + std::string(compatible);
}

TEST(FileFormat, FirstBytesDecideNotTheName) {
  const std::string bmpHeader = std::string("BM") + std::string(12, '\0') + std::string("\x28\0\0\0", 4);
  const std::pair<std::string, FileFormat> table[] = {
      {std::string("\x89PNG\r\n\x1a\n", 8), FileFormat::png},
      {"\xFF\xD8\xFF\xE0", FileFormat::jpeg},
      {std::string("RIFF\0\0\0\0WEBPVP8 ", 16), FileFormat::webp},
      {std::string("RIFF\0\0\0\0AVI LIST", 16), FileFormat::video},
      {"GIF89a", FileFormat::gif},
      {std::string("II*\0", 4), FileFormat::tiff},
      {std::string("MM\0*", 4), FileFormat::tiff},
      {bmpHeader, FileFormat::bmp},
      {"BMW service notes, spring", FileFormat::unknown},
      {ftyp("heic", "mif1heic"), FileFormat::heif},
      {ftyp("mif1", "heicmiaf"), FileFormat::heif},
      {ftyp("avif", "avifmif1miaf"), FileFormat::avif},
      {ftyp("mif1", "avifmiaf"), FileFormat::avif},  // AVIF listed after the HEIF structural brand
      {ftyp("isom", "isomavc1"), FileFormat::video},
      {std::string("\0\0\0\x08moov", 8), FileFormat::video},
      {"\x1A\x45\xDF\xA3", FileFormat::video},
      {"just some notes\n", FileFormat::unknown},
      {"", FileFormat::unknown},
      {"\x89PN", FileFormat::unknown},
  };
  for (const auto& [head, format] : table) EXPECT_EQ(sniffFileFormat(head), format) << head;
  EXPECT_EQ(mediaTypeOfFormat(FileFormat::heif), kImageMediaType);
  EXPECT_EQ(mediaTypeOfFormat(FileFormat::video), kVideoMediaType);
  EXPECT_EQ(mediaTypeOfFormat(FileFormat::unknown), 0);
}

// Every format the library reads, made by the tools that make such files.
// Files far larger than one read are judged through many: the coded data's
// stuffed bytes and restarts fall on every read's edge in one of the two
// shifts, the end marker on one in the third; a PNG's chunks are stepped
// over; and a cut anywhere is still seen.
TEST(FileWholeness, LargeFilesAreJudgedAcrossReads) {
  ScratchDir dir;
  std::string pairs;
  for (int i = 0; i < 400000; ++i) pairs += i % 7 ? std::string("\xFF\x00", 2) : std::string("\xFF\xD3");
  for (const std::string& coded : {pairs, "\x01" + pairs, std::string(3 * 65536 - 1, '\x01')}) {
    const std::string jpeg = std::string("\xFF\xD8\xFF\xDA\x00\x02", 6) + coded + "\xFF\xD9";
    writeFile(dir / "large.jpg", jpeg);
    EXPECT_TRUE(imageDataLooksWhole(dir / "large.jpg")) << coded.size();
    for (const std::size_t cut : {jpeg.size() / 3, jpeg.size() - 2, jpeg.size() - 1}) {
      writeFile(dir / "cut.jpg", jpeg.substr(0, cut));
      EXPECT_FALSE(imageDataLooksWhole(dir / "cut.jpg")) << "cut at " << cut;
    }
  }
  // A chunk walk steps over image data larger than a read, and over chunks smaller than one.
  const auto chunk = [](const std::string& type, std::size_t length) {
    const std::string size{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                           static_cast<char>(length >> 8), static_cast<char>(length)};
    return size + type + std::string(length, '\x07') + "CRC!";
  };
  std::string png = "\x89PNG\r\n\x1a\n" + chunk("IHDR", 13);
  for (const std::size_t length : {300000, 8192, 8192, 700000, 12}) png += chunk("IDAT", length);
  png += chunk("IEND", 0);
  writeFile(dir / "large.png", png + "trailing");
  EXPECT_TRUE(imageDataLooksWhole(dir / "large.png"));
  for (const std::size_t cut : {std::size_t{300020}, png.size() / 2, png.size() - 1}) {
    writeFile(dir / "cut.png", png.substr(0, cut));
    EXPECT_FALSE(imageDataLooksWhole(dir / "cut.png")) << "cut at " << cut;
  }
  // Its first chunks, then a terabyte of zeros (a file made to its size
  // before it is written): not whole, judged from the first bytes that are
  // no chunk, not by reading on through the zeros.
  struct ThenZeros final : ByteSource {
    std::string head, out;
    std::uint64_t served = 0;
    std::uint64_t size() const override { return std::uint64_t{1} << 40; }
    std::string_view read(std::uint64_t offset, std::size_t length) override {
      if (offset >= size() || served > (std::uint64_t{64} << 20)) return {};  // a budget, so that a fault ends
      length = static_cast<std::size_t>(std::min<std::uint64_t>({length, 1 << 20, size() - offset}));
      served += length;
      out.assign(length, '\0');
      if (offset < head.size()) head.copy(out.data(), std::min<std::size_t>(length, head.size() - offset), offset);
      return out;
    }
  } sparse;
  sparse.head = png.substr(0, 300020);
  EXPECT_FALSE(imageStructureIsWhole(sparse));
  EXPECT_LT(sparse.served, std::uint64_t{2} << 20);
}

class RealImageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!runTool("command -v convert")) GTEST_SKIP() << "ImageMagick's convert is not installed";
  }
  std::string make(const std::string& name, const std::string& command) {
    const std::string path = dir / name;
    if (!runTool(command + " '" + path + "'")) ADD_FAILURE() << "could not make " << name;
    return path;
  }
  ScratchDir dir;
};

TEST_F(RealImageFiles, WholeUntilCutWhateverFollowsTheEnd) {
  const std::string image = "convert -size 96x64 plasma:fractal -depth 8";
  std::vector<std::string> files = {
      make("a.png", image), make("a.jpg", image), make("a.gif", image),
      make("a.webp", image), make("a.tif", image), make("a.bmp", image),
      make("tiled.tif", image + " -compress lzw -define tiff:tile-geometry=32x32"),
      make("progressive.jpg", image + " -interlace JPEG"),
  };
  if (runTool("command -v heif-enc")) files.push_back(make("a.heic", "heif-enc -q 40 " + dir / "a.png" + " -o"));
  if (runTool("command -v avifenc")) files.push_back(make("a.avif", "avifenc -s 10 " + dir / "a.png"));
  // The watcher's one look judges on the bytes read for the facts as a second look would.
  const auto lookAt = [&](const std::string& bytes) {
    writeFile(dir / "look", bytes);
    const UniqueFd fd(::open((dir / "look").c_str(), O_RDONLY | O_CLOEXEC));
    const ImageLook look = lookAtImage(fd.get(), bytes.size());
    EXPECT_EQ(look.whole, imageFileLooksWhole(fd.get(), bytes.size())) << bytes.size();
    return look;
  };
  for (const auto& path : files) {
    const std::string bytes = readFile(path);
    ASSERT_GT(bytes.size(), 40u) << path;
    EXPECT_TRUE(imageDataLooksWhole(path)) << path;
    EXPECT_TRUE(lookAt(bytes).whole) << path;
    for (const std::size_t cut : {bytes.size() / 3, bytes.size() * 2 / 3, bytes.size() - 1}) {
      EXPECT_FALSE(imageBytesLookWhole(std::string_view(bytes).substr(0, cut))) << path << " cut at " << cut;
      EXPECT_FALSE(lookAt(bytes.substr(0, cut)).whole) << path << " cut at " << cut;
    }
    const ImageFacts facts = readImageFacts(path);
    EXPECT_EQ(facts.width, 96) << path;
    EXPECT_EQ(facts.height, 64) << path;
  }
  // Phones append trailers and motion-photo data after a JPEG's end.
  const std::string jpeg = readFile(dir / "a.jpg");
  writeFile(dir / "trailer.jpg", jpeg + std::string(100, '\x7f'));
  EXPECT_TRUE(imageDataLooksWhole(dir / "trailer.jpg"));
  // Its end chunk is looked for near the end; past a longer trailer, the chunks lead to it.
  for (const std::size_t trailer : {8, 20000}) {
    writeFile(dir / "trailer.png", readFile(dir / "a.png") + std::string(trailer, 't'));
    EXPECT_TRUE(imageDataLooksWhole(dir / "trailer.png")) << trailer;
  }
  // A BMP stored top-down has a negative height; its size is still positive.
  std::string topDown = readFile(dir / "a.bmp");
  const std::int32_t height = -64;
  std::memcpy(topDown.data() + 22, &height, sizeof height);
  writeFile(dir / "top-down.bmp", topDown);
  EXPECT_EQ(readImageFacts(dir / "top-down.bmp").height, 64);
  EXPECT_FALSE(imageBytesLookWhole(""));
  EXPECT_FALSE(imageBytesLookWhole("GIF89a"));
  // A PNG whose texts follow its image data is read at its tail too.
  const std::string screen = readFile(make("screen.png", "convert -size 640x400 plasma:fractal -depth 8 -set Software gnome-screenshot"));
  const std::string_view whole(screen);
  for (const std::string& bytes : {screen, screen + std::string(20000, 't'), std::string(whole.substr(0, whole.size() - 1)),
                                   std::string(whole.substr(0, whole.size() - 12)), std::string(whole.substr(0, whole.size() / 2))}) {
    const ImageLook look = lookAt(bytes);
    EXPECT_EQ(look.whole, bytes.size() >= screen.size()) << bytes.size();
    EXPECT_EQ(look.facts.width, 640) << bytes.size();
    EXPECT_EQ(look.facts.markedScreenshot, bytes == screen) << bytes.size();
  }
}

TEST_F(RealImageFiles, HeicAndAvifScreenshotsThroughExiv2) {
  if (!runTool("command -v heif-enc") || !runTool("command -v avifenc")) {
    GTEST_SKIP() << "heif-enc or avifenc is not installed";
  }
  const std::string jpeg = make("source.jpg", "convert -size 1170x2532 gradient:white-navy -quality 60");
  shotsieve::testing::addMetadata(jpeg, JpegFixture{0, 0, "2024:03:05 14:07:09", "+01:00", "Screenshot", 5});
  make("shot.heic", "heif-enc -q 30 " + jpeg + " -o");
  make("shot.avif", "avifenc -s 10 " + jpeg);
  for (const auto& [name, format] : {std::pair{"shot.heic", FileFormat::heif}, std::pair{"shot.avif", FileFormat::avif}}) {
    const ImageFacts facts = readImageFacts(dir / name);
    EXPECT_EQ(facts.format, format) << name;
    EXPECT_EQ(facts.width, 1170) << name;
    EXPECT_EQ(facts.height, 2532) << name;
    EXPECT_EQ(facts.captureDate, 1709644029) << name;
    EXPECT_TRUE(facts.markedScreenshot) << name;
    EXPECT_TRUE(facts.favorite) << name;
  }
}

}  // namespace
}  // namespace shotsieve::folder
