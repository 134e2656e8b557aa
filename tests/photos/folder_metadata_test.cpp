#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <tuple>

#include "image_fixtures.h"
#include "photos/folder/access_state.h"
#include "photos/folder/metadata/date_text.h"
#include "photos/folder/metadata/image_metadata.h"
#include "photos/folder/metadata/image_wholeness.h"
#include "photos/folder/library_location.h"
#include "photos/folder/scan/screenshot_names.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::JpegFixture;
using shotsieve::testing::PngFixture;
using shotsieve::testing::ScratchDir;

class LocalZone : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

using DateText = LocalZone;

TEST_F(DateText, ReadsTheFormsThatImagesCarry) {
  EXPECT_EQ(parseDateText("2024:03:05 14:07:09", "+01:00"), 1709644029);
  EXPECT_EQ(parseDateText("2024:03:05 14:07:09"), 1709644029);  // local: Berlin is +01:00 in March
  EXPECT_EQ(parseDateText("2024-03-05T14:07:09Z"), 1709647629);
  EXPECT_EQ(parseDateText("2024-03-05T14:07:09.5-02:00"), 1709654829.5);
  EXPECT_EQ(parseDateText("Tue, 05 Mar 2024 14:07:09 GMT"), 1709647629);
  EXPECT_EQ(parseDateText("5 Mar 2024 14:07:09 +0100"), 1709644029);
  for (const char* bad : {"", "0000:00:00 00:00:00", "2024:13:05 14:07:09", "yesterday", "2024-03-05T25:00"}) {
    EXPECT_EQ(parseDateText(bad), std::nullopt) << bad;
  }
}

using ScreenshotNames = LocalZone;

// One row per convention: the name a tool or platform gives a screenshot
// taken at 14:07:09 on 2024-03-05 (local time), and whether the date is in it.
TEST_F(ScreenshotNames, EveryToolAndPlatformConvention) {
  struct Row {
    const char* convention;
    const char* name;
    bool dated;
  };
  const Row rows[] = {
      {"GNOME", "Screenshot from 2024-03-05 14-07-09.png", true},
      {"GNOME de", "Bildschirmfoto vom 2024-03-05 14-07-09.png", true},
      {"GNOME fr", "Capture d’écran du 2024-03-05 14-07-09.png", true},
      {"GNOME es", "Captura de pantalla de 2024-03-05 14-07-09.png", true},
      {"GNOME it", "Schermata del 2024-03-05 14-07-09.png", true},
      {"GNOME ru", "Снимок экрана от 2024-03-05 14-07-09.png", true},
      {"GNOME pt_BR", "Captura de tela de 2024-03-05 14-07-09.png", true},
      {"GNOME nl", "Schermafdruk van 2024-03-05 14-07-09.png", true},
      {"GNOME pl", "Zrzut ekranu z 2024-03-05 14-07-09.png", true},
      {"GNOME ja", "スクリーンショット 2024-03-05 14-07-09.png", true},
      {"GNOME zh_CN", "截图 2024-03-05 14-07-09.png", true},
      {"GNOME tr", "Ekran görüntüsü 2024-03-05 14-07-09.png", true},
      {"KDE Spectacle", "Screenshot_20240305_140709.png", true},
      {"Xfce", "Screenshot_2024-03-05_14-07-09.png", true},
      {"Android", "Screenshot_20240305-140709.png", true},
      {"Android Samsung", "Screenshot_20240305-140709_Chrome.jpg", true},
      {"macOS", "Screenshot 2024-03-05 at 14.07.09.png", true},
      {"macOS before 10.14", "Screen Shot 2024-03-05 at 2.07.09 PM.png", true},
      {"macOS 12-hour, narrow space", "Screenshot 2024-03-05 at 2.07.09\u202fPM.png", true},
      {"macOS de", "Bildschirmfoto 2024-03-05 um 14.07.09.png", true},
      {"macOS fr", "Capture d’écran 2024-03-05 à 14.07.09.png", true},
      {"macOS sv", "Skärmavbild 2024-03-05 kl. 14.07.09.png", true},
      {"macOS tr", "Ekran Resmi 2024-03-05 14.07.09.png", true},
      {"macOS ko", "스크린샷 2024-03-05 오후 2.07.09.png", true},
      {"macOS zh_CN", "截屏2024-03-05 下午2.07.09.png", true},
      {"macOS zh_CN older", "屏幕快照 2024-03-05 下午2.07.09.png", true},
      {"macOS ja", "スクリーンショット 2024-03-05 14.07.09.png", true},
      {"Windows Snipping Tool", "Screenshot 2024-03-05 140709.png", true},
      {"Windows Win+PrtScn", "Screenshot (12).png", false},
      {"ChromeOS", "Screenshot 2024-03-05 2.07.09 PM.png", true},
      {"Steam", "20240305140709_1.jpg", true},
      {"grim", "20240305_14h07m09s_grim.png", true},
      {"scrot", "2024-03-05-140709_1920x1080_scrot.png", true},
      {"ksnip", "ksnip_20240305-140709.png", true},
  };
  for (const auto& row : rows) {
    EXPECT_TRUE(isScreenshotFileName(row.name)) << row.convention;
    EXPECT_EQ(dateFromScreenshotFileName(row.name), row.dated ? std::optional<double>(1709644029) : std::nullopt)
        << row.convention;
  }
  // Flameshot names the minute, and counts further shots in it.
  for (const char* name : {"2024-03-05_14-07.png", "2024-03-05_14-07_1.png", "2024-03-05_14-07_12.PNG"}) {
    EXPECT_TRUE(isScreenshotFileName(name)) << name;
    EXPECT_EQ(dateFromScreenshotFileName(name), std::optional<double>(1709644029 - 9)) << name;
  }
  EXPECT_FALSE(isScreenshotFileName("2024-03-05_14-07_.png"));
  EXPECT_FALSE(isScreenshotFileName("2024-03-05_14-07_x.png"));
  // Folders: GNOME's translations, Android's, Steam's, the Xbox Game Bar's.
  for (const char* folder : {"Screenshots", "SCREENSHOTS", "Снимки экрана", "Bildschirmfotos", "Captures d’écran",
                             "Schermafdrukken", "Capturas de tela", "Ekran Görüntüleri", "screenshots", "Captures",
                             "截图", "스크린샷"}) {
    EXPECT_TRUE(isScreenshotFolderName(folder)) << folder;
  }
  // Camera and phone photos, and names that merely look like dates, are not screenshots.
  for (const char* name : {"IMG_20240305_140709.jpg", "20240305_140709.jpg", "PXL_20240305_140709123.jpg",
                           "DSC01234.JPG", "2024-03-05 14.07.09.jpg", "2024-03-05_14-07.jpg", "holiday.png"}) {
    EXPECT_FALSE(isScreenshotFileName(name)) << name;
  }
  EXPECT_EQ(dateFromScreenshotFileName("IMG_20240305_140709.jpg"), std::nullopt);
  EXPECT_FALSE(isScreenshotFolderName("Holidays"));
  EXPECT_TRUE(isScreenshotSoftware("gnome-screenshot"));
  EXPECT_TRUE(isScreenshotSoftware("Spectacle 23.08"));
  EXPECT_TRUE(isScreenshotSoftware("xfce4-screenshooter"));
  EXPECT_FALSE(isScreenshotSoftware("GIMP 2.10"));
}

// What the answers use, from a PNG's texts and XMP and from a JPEG's Exif
// (a time zone offset, a user comment) and XMP rating.
TEST(ImageFacts, PngTextsAndXmpAndJpegExif) {
  ScratchDir dir;
  shotsieve::testing::writePng(dir / "a.png", PngFixture{1920, 1080, {{"Software", "gnome-screenshot"},
                                                    {"Creation Time", "2024-03-05T14:07:09Z"}},
                                                    shotsieve::testing::xmpWithRating(5), 4096});
  shotsieve::testing::writeJpeg(dir / "a.jpg", JpegFixture{1170, 2532, "2024:03:05 14:07:09", "+01:00", "Screenshot", 5});
  for (const auto& [name, width, height, captured] : {std::tuple{"a.png", 1920, 1080, 1709647629},
                                                      std::tuple{"a.jpg", 1170, 2532, 1709644029}}) {
    const ImageFacts facts = readImageFacts(dir / name);
    EXPECT_TRUE(facts.headerRead && facts.markedScreenshot && facts.favorite) << name;
    EXPECT_EQ(facts.width, width) << name;
    EXPECT_EQ(facts.height, height) << name;
    EXPECT_EQ(facts.captureDate, captured) << name;
  }
  shotsieve::testing::writePng(dir / "plain.png", PngFixture{});
  const ImageFacts plain = readImageFacts(dir / "plain.png");
  EXPECT_TRUE(plain.headerRead);
  EXPECT_FALSE(plain.markedScreenshot || plain.favorite || plain.captureDate);
}

TEST(ImageFacts, HostileAndBrokenFilesGiveDefaults) {
  ScratchDir dir;
  const std::string png = shotsieve::testing::pngBytes(PngFixture{});
  shotsieve::testing::writeFile(dir / "truncated.png", png.substr(0, 20));
  shotsieve::testing::writeFile(dir / "empty.png", "");
  shotsieve::testing::writeFile(dir / "text.png", "this is not an image at all");
  std::string badCrc = png;
  badCrc[29] ^= 0x40;  // inside IHDR
  shotsieve::testing::writeFile(dir / "badcrc.png", badCrc);
  std::string jpeg = shotsieve::testing::jpegBytes(JpegFixture{});
  shotsieve::testing::writeFile(dir / "cut.jpg", jpeg.substr(0, 10));
  ::mkfifo((dir / "fifo.png").c_str(), 0600);  // must not block
  shotsieve::testing::writeFile(dir / "huge.png", shotsieve::testing::pngHeaderOnly(0x7FFFFFFF, 0x7FFFFFFF));
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  for (const char* name : {"truncated.png", "empty.png", "text.png", "badcrc.png", "cut.jpg", "fifo.png", "missing.png"}) {
    const ImageFacts facts = readImageFacts(dir / name);
    EXPECT_FALSE(facts.headerRead) << name;
    EXPECT_EQ(facts.width, 0) << name;
  }
  EXPECT_FALSE(readImageFacts("relative.png").headerRead);
  const ImageFacts huge = readImageFacts(dir / "huge.png");  // the header alone, never the pixels
  EXPECT_EQ(huge.width, 0x7FFFFFFF);
  EXPECT_FALSE(huge.headerRead);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // libpng and exiv2 stay quiet
  EXPECT_TRUE(imageDataLooksWhole(dir / "badcrc.png"));
  EXPECT_FALSE(imageDataLooksWhole(dir / "truncated.png"));
  EXPECT_FALSE(imageDataLooksWhole(dir / "cut.jpg"));
}

TEST(LibraryLocation, UserDirsIsReadAsData) {
  EXPECT_EQ(picturesDirFromUserDirs("XDG_PICTURES_DIR=\"$HOME/Bilder\"\n", "/home/u"), "/home/u/Bilder");
  EXPECT_EQ(picturesDirFromUserDirs("# c\n  XDG_PICTURES_DIR=\"/data/My \\\"Pics\\\"\"\n", "/h"), "/data/My \"Pics\"");
  EXPECT_EQ(picturesDirFromUserDirs("XDG_PICTURES_DIR=\"$(rm -rf ~)\"\nXDG_PICTURES_DIR=`x`\n", "/h"), "");
  EXPECT_EQ(picturesDirFromUserDirs("XDG_PICTURES_DIR=\"relative/dir\"\nXDG_PICTURES_DIR=\"/a\" junk\n", "/h"), "");
  EXPECT_EQ(picturesDirFromUserDirs("XDG_PICTURES_DIR=\"/first\"\nXDG_PICTURES_DIR=\"/second\"", "/h"), "/second");
}

TEST(AccessState, ReadsWordsAndNumbersAndFailsClosed) {
  ScratchDir dir;
  const std::string path = dir / "state/access";
  EXPECT_EQ(readAccessState(path), 0);
  ASSERT_TRUE(writeAccessState(path, 2));
  EXPECT_EQ(readAccessState(path), 2);
  const std::pair<const char*, int> table[] = {{"restricted\n", 1}, {"limited", 4}, {" authorized \n", 3}, {"7", 7},
                                               {"garbage", kUnreadableAccessState}, {"", kUnreadableAccessState},
                                               {"99999999999", kUnreadableAccessState}};
  for (const auto& [text, status] : table) {
    shotsieve::testing::writeFile(path, text);
    EXPECT_EQ(readAccessState(path), status) << text;
  }
  shotsieve::testing::writeFile(path, std::string(100, 'a') + "authorized");
  EXPECT_EQ(readAccessState(path), kUnreadableAccessState);
  ::mkdir((dir / "folder").c_str(), 0700);  // a folder where the file should be
  EXPECT_EQ(readAccessState(dir / "folder"), kUnreadableAccessState);
  // An answer that another user wrote, or could have, grants nothing.
  shotsieve::testing::writeFile(path, "authorized");
  ::chmod(path.c_str(), 0646);
  EXPECT_EQ(readAccessState(path), kUnreadableAccessState);
  ::chmod(path.c_str(), 0644);
  EXPECT_EQ(readAccessState(path), 3);
  if (::geteuid() != 0) GTEST_SKIP() << "giving the file to another user needs root";
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  EXPECT_EQ(readAccessState(path), kUnreadableAccessState);
}

// A watch asks before every line: what it is told must follow the file, also
// once the answer is kept across calls.
TEST(AccessState, ALookKeptAcrossCallsSeesEveryChange) {
  ScratchDir dir;
  const std::string path = dir / "access";
  AccessStateLook look(path);
  EXPECT_EQ(look.current(), 0);
  shotsieve::testing::writeFile(path, "authorized\n");
  EXPECT_EQ(look.current(), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(3200));  // long enough for its times to be trusted
  EXPECT_EQ(look.current(), 3);
  shotsieve::testing::writeFile(path, "restricted\n");  // in place, the same size
  EXPECT_EQ(look.current(), 1);
  std::filesystem::remove(path);
  EXPECT_EQ(look.current(), 0);
}

}  // namespace
}  // namespace shotsieve::folder
