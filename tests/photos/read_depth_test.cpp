#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <filesystem>

#include "image_fixtures.h"
#include "photos/folder/folder_library.h"
#include "photos/folder/metadata/image_metadata.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::JpegFixture;
using shotsieve::testing::PngFixture;
using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

std::string xmpWith(const std::string& key, const std::string& value) {
  Exiv2::XmpParser::initialize();
  Exiv2::XmpData xmp;
  xmp[key] = value;
  std::string packet;
  Exiv2::XmpParser::encode(packet, xmp);
  return packet;
}

std::string dateText(std::time_t when) {
  char text[32];
  std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", std::gmtime(&when));
  return text;
}

std::string little(std::uint32_t value, int width) {
  std::string bytes;
  for (int i = 0; i < width; ++i) bytes += static_cast<char>(value >> (8 * i) & 0xFF);
  return bytes;
}

std::string riffChunk(const std::string& kind, const std::string& data) {
  return kind + little(static_cast<std::uint32_t>(data.size()), 4) + data + (data.size() % 2 ? std::string(1, '\0') : "");
}

// A WebP as the format lays one out: the canvas, the image data (not
// decoded by anyone here, so filler after a real frame header), then Exif
// and XMP. `image` is "VP8 " (its size with scaling bits above it), "VP8L" or
// "VP8X" (extended, around a VP8 frame).
std::string webpBytes(const std::string& image, const std::string& exif, const std::string& xmp) {
  const std::string filler(64 * 1024, '\x55');
  std::string body;
  if (image == "VP8X") {
    const char flags = static_cast<char>((exif.empty() ? 0 : 0x08) | (xmp.empty() ? 0 : 0x04));
    body += riffChunk("VP8X", std::string(1, flags) + std::string(3, '\0') + little(299, 3) + little(199, 3));
  }
  if (image == "VP8L") {
    body += riffChunk("VP8L", "\x2F" + little(299 | 199u << 14, 4) + filler);
  } else {
    body += riffChunk("VP8 ", std::string("\x10\x02\x00\x9D\x01\x2A", 6) + little(300 | 1 << 14, 2) + little(200 | 2 << 14, 2) + filler);
  }
  if (!exif.empty()) body += riffChunk("EXIF", exif);
  if (!xmp.empty()) body += riffChunk("XMP ", xmp);
  return "RIFF" + little(static_cast<std::uint32_t>(4 + body.size()), 4) + "WEBP" + body;
}

// A PNG with chunks put between its image data and its end, as some writers
// put texts and Exif there, and bytes trailing after it.
std::string withChunksAfterImageData(const std::string& png, const std::vector<std::pair<std::string, std::string>>& chunks,
                                     const std::string& trailer = "") {
  std::string after;
  for (const auto& [type, data] : chunks) after += shotsieve::testing::pngChunk(type, data);
  return png.substr(0, png.size() - 12) + after + png.substr(png.size() - 12) + trailer;
}

// Every way a file can carry what the answers use, and files cut short at
// every place the head reader stops: in folders and names that make
// screenshots and in folders that do not.
class ReadDepthLibrary : public ::testing::Test {
 protected:
  ReadDepthLibrary() {
    const std::time_t now = std::time(nullptr);
    const JpegFixture recent{0, 0, dateText(now - 3600), "+00:00"};
    const JpegFixture marked{0, 0, dateText(now - 7200), "", "Screenshot"};
    std::vector<std::pair<std::string, std::string>> files;
    const auto png = [&](const std::string& name, const PngFixture& image) {
      files.emplace_back(name, shotsieve::testing::pngBytes(image));
    };
    png("plain.png", {300, 200});
    png("tool.png", {300, 200, {{"Software", "gnome-screenshot"}}});
    png("other-software.png", {300, 200, {{"Software", "GIMP 2.10"}}});
    png("creation-time.png", {300, 200, {{"Creation Time", "Sat, 05 Dec 2026 10:00:00 GMT"}}});
    png("exif-date.png", {300, 200, {}, "", 0, false, shotsieve::testing::exifPayload(recent)});
    png("exif-comment.png", {300, 200, {}, "", 0, false, shotsieve::testing::exifPayload(marked)});
    png("xmp-rating.png", {300, 200, {}, shotsieve::testing::xmpWithRating(5)});
    png("xmp-comment.png", {300, 200, {}, xmpWith("Xmp.exif.UserComment", "Screenshot")});
    png("xmp-date.png", {300, 200, {{"Creation Time", "2020-01-01T00:00:00Z"}}, xmpWith("Xmp.xmp.CreateDate", "2026-12-01T08:00:00Z")});
    png("everything.png", {300, 200, {{"Software", "Flameshot"}, {"Creation Time", "2026-12-02T08:00:00Z"}},
                           shotsieve::testing::xmpWithRating(5), 4096, true, shotsieve::testing::exifPayload(recent)});
    files.emplace_back("photo.jpg", shotsieve::testing::jpegBytes({640, 480, dateText(now - 600), "+02:00"}));
    files.emplace_back("photo-marked.jpg", shotsieve::testing::jpegBytes({640, 480, "", "", "Screenshot", 5}));
    files.emplace_back("photo-bare.jpg", shotsieve::testing::jpegBytes({640, 480}));
    // Metadata after the image data, where WebP keeps it and some PNG writers put it.
    const std::string plainPng = shotsieve::testing::pngBytes({300, 200});
    files.emplace_back("after-creation-time.png",
                       withChunksAfterImageData(plainPng, {{"tIME", std::string(7, '\x01')}, {"prVt", "not a tEXt chunk"},
                                                           {"tEXt", std::string("Creation Time\0", 14) + "2026-12-02T08:00:00Z"}}));
    files.emplace_back("after-software.png",  // another image trailing after its end
                       withChunksAfterImageData(plainPng, {{"tEXt", std::string("Software\0gnome-screenshot", 25)}},
                                                withChunksAfterImageData(plainPng, {{"tEXt", std::string("Software\0GIMP", 13)}})));
    files.emplace_back("after-exif-comment.png",
                       withChunksAfterImageData(plainPng, {{"eXIf", shotsieve::testing::exifPayload(marked)}}));
    files.emplace_back("after-xmp-rating.png",
                       withChunksAfterImageData(plainPng, {{"iTXt", std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) +
                                                                        shotsieve::testing::xmpWithRating(5)}}));
    files.emplace_back("before-wins.png", withChunksAfterImageData(
                                              shotsieve::testing::pngBytes({300, 200, {{"Creation Time", "2026-12-01T08:00:00Z"}}}),
                                              {{"tEXt", std::string("Creation Time\0", 14) + "2020-01-01T00:00:00Z"}}));
    const std::string exif = shotsieve::testing::exifPayload(recent);
    files.emplace_back("lossy.webp", webpBytes("VP8 ", "", ""));
    files.emplace_back("lossless.webp", webpBytes("VP8L", "", ""));
    files.emplace_back("exif-date.webp", webpBytes("VP8X", exif, ""));
    files.emplace_back("exif-prefixed.webp", webpBytes("VP8X", "Exif" + std::string(2, '\0') + exif, ""));
    files.emplace_back("exif-comment.webp", webpBytes("VP8X", shotsieve::testing::exifPayload(marked), ""));
    files.emplace_back("xmp-rating.webp", webpBytes("VP8X", "", shotsieve::testing::xmpWithRating(5)));
    files.emplace_back("xmp-comment.webp", webpBytes("VP8X", exif, xmpWith("Xmp.exif.UserComment", "Screenshot")));
    for (const auto& [name, bytes] : std::vector(files)) {  // cut short in the metadata, in the header, in the data
      for (const std::size_t keep : {std::size_t{30}, bytes.size() / 3, bytes.size() - 20}) {
        files.emplace_back("cut" + std::to_string(keep) + "-" + name, bytes.substr(0, keep));
      }
    }
    for (const std::string folder : {"Screenshots", "DCIM"}) {
      fs::create_directories(root() + "/" + folder);
      for (const auto& [name, bytes] : files) shotsieve::testing::writeFile(root() + "/" + folder + "/" + name, bytes);
    }
    // Exif hex-coded in a text chunk, the way exiv2 and ImageMagick write it into a PNG.
    for (const std::string folder : {"Screenshots", "DCIM"}) {
      const std::string path = root() + "/" + folder + "/raw-profile.png";
      shotsieve::testing::writePng(path, {300, 200});
      shotsieve::testing::addMetadata(path, marked);
      paths.push_back(path);
    }
    shotsieve::testing::writeFile(root() + "/DCIM/Screenshot from 2026-12-01 10-00-00.png",
                                  shotsieve::testing::pngBytes({300, 200, {}, "", 0, false, shotsieve::testing::exifPayload(recent)}));
    for (const auto& [name, bytes] : files) paths.push_back(root() + "/DCIM/" + name);
  }
  std::string root() const { return home / "Pictures"; }
  FetchResult fetch(const FetchOptions& options, ReadDepth depth) {
    FolderLibrary library({root(), home / "access", ""}, "", {4, ReadSettings::DatePrefilter::on, depth});
    return library.fetchAssetsWithOptions(options);
  }
  ScratchDir home;
  std::vector<std::string> paths;
};

std::string factsText(const ImageFacts& f) {
  return std::to_string(static_cast<int>(f.format)) + " " + std::to_string(f.width) + "x" + std::to_string(f.height) +
         " captured " + (f.captureDate ? std::to_string(*f.captureDate) : "-") + (f.favorite ? " favorite" : "") +
         (f.markedScreenshot ? " marked" : "");
}

// A PNG cut short in its image data is one exiv2 gives up on when handed
// the whole file; its head still holds all of its metadata, which is what is
// read now, as for a JPEG cut short.
bool cutPng(const std::string& path) {
  const std::string name = fs::path(path).filename();
  return name.starts_with("cut") && name.ends_with(".png");
}

std::string uncut(const std::string& path) {
  const std::string name = fs::path(path).filename();
  return fs::path(path).parent_path() / name.substr(name.find('-') + 1);
}

TEST_F(ReadDepthLibrary, TheHeadTellsWhatTheWholeFileTells) {
  int cutDiffering = 0;
  for (const auto& path : paths) {
    const ImageFacts head = readImageFacts(path), whole = readImageFacts(path, ReadDepth::wholeFile);
    if (factsText(head) != factsText(whole) && cutPng(path)) {
      ++cutDiffering;
      EXPECT_EQ(factsText(head), factsText(readImageFacts(uncut(path), ReadDepth::wholeFile))) << path;
      continue;
    }
    EXPECT_EQ(factsText(head), factsText(whole)) << path;
    // Reading less may leave a fact out only where it says so.
    const ImageFacts marks = readImageFacts(path, ReadDepth::head, Need::screenshotMarks);
    EXPECT_EQ(marks.markedScreenshot, whole.markedScreenshot) << path;
    const ImageFacts rest = readImageFacts(path, ReadDepth::head, Need::allButMarks);
    EXPECT_EQ(rest.captureDate, whole.captureDate) << path;
    EXPECT_EQ(rest.favorite, whole.favorite) << path;
    EXPECT_TRUE(rest.markedScreenshot == whole.markedScreenshot || rest.marksUnread) << path;
  }
  EXPECT_LE(cutDiffering, 6) << "only PNGs cut in their image data after Exif read differently";
  const ImageFacts sample = readImageFacts(root() + "/DCIM/everything.png");
  EXPECT_TRUE(sample.favorite && sample.markedScreenshot && sample.captureDate) << "the fixtures carry what they claim";
  // What a PNG or a WebP keeps after its image data is found; a PNG's own before it comes first.
  EXPECT_TRUE(readImageFacts(root() + "/DCIM/after-creation-time.png").captureDate);
  EXPECT_TRUE(readImageFacts(root() + "/DCIM/after-software.png").markedScreenshot);
  EXPECT_TRUE(readImageFacts(root() + "/DCIM/after-exif-comment.png").markedScreenshot);
  EXPECT_TRUE(readImageFacts(root() + "/DCIM/after-xmp-rating.png").favorite);
  EXPECT_EQ(readImageFacts(root() + "/DCIM/before-wins.png").captureDate, 1796112000.0);  // 2026-12-01T08:00:00Z
  EXPECT_TRUE(readImageFacts(root() + "/DCIM/exif-date.webp").captureDate);
  EXPECT_TRUE(readImageFacts(root() + "/DCIM/exif-comment.webp").markedScreenshot);
  EXPECT_TRUE(readImageFacts(root() + "/DCIM/xmp-rating.webp").favorite);
  EXPECT_EQ(readImageFacts(root() + "/DCIM/lossy.webp").width, 300);
}

TEST_F(ReadDepthLibrary, FetchesAnswerTheSameWhateverIsRead) {
  const double since = static_cast<double>(std::time(nullptr)) - 2 * 24 * 3600;
  for (const FetchOptions& options : {screenshotQuery(since), screenshotQuery(), FetchOptions{}}) {
    FetchResult fast = fetch(options, ReadDepth::head), whole = fetch(options, ReadDepth::wholeFile);
    for (auto* result : {&fast, &whole}) std::erase_if(result->assets, [](const Asset& a) { return cutPng(a.locator); });
    ASSERT_FALSE(whole.assets.empty());
    ASSERT_EQ(fast.assets.size(), whole.assets.size());
    for (std::size_t i = 0; i < fast.assets.size(); ++i) {
      const Asset &a = fast.assets[i], &b = whole.assets[i];
      EXPECT_EQ(a.locator, b.locator);
      EXPECT_EQ(a.creationDate, b.creationDate) << a.locator;
      EXPECT_EQ(a.mediaSubtypes, b.mediaSubtypes) << a.locator;
      EXPECT_EQ(a.pixelWidth, b.pixelWidth) << a.locator;
      EXPECT_EQ(a.pixelHeight, b.pixelHeight) << a.locator;
      EXPECT_EQ(a.isFavorite, b.isFavorite) << a.locator;
    }
  }
}

}  // namespace
}  // namespace shotsieve::folder
