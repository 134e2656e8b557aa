// Makes image files for benchmarks and end-to-end tests.
//
//   make_library library ROOT [SCREENSHOTS [PHOTOS [DAYS [small]]]]
//     A Pictures folder: SCREENSHOTS PNG screenshots (default 10000) in
//     Screenshots folders with real headers and metadata, and PHOTOS camera
//     JPEGs with Exif dates (default 20000), spread over the last DAYS days
//     (default 60), with file sizes like real ones (photos stored sparsely);
//     "small" leaves the screenshots without their bulk, for counts in the
//     hundreds of thousands.
//   make_library png PATH [SOFTWARE [CREATION_TIME]]
//   make_library jpeg PATH [DATE_TIME_ORIGINAL [USER_COMMENT]]

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>

#include "image_fixtures.h"

namespace {

using shotsieve::testing::JpegFixture;
using shotsieve::testing::PngFixture;
namespace fs = std::filesystem;

std::string formatTime(std::time_t when, const char* format) {
  std::tm local{};
  localtime_r(&when, &local);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, format, &local);
  return buffer;
}

void setModified(const std::string& path, std::time_t when) {
  const timeval times[2] = {{when, 0}, {when, 0}};
  ::utimes(path.c_str(), times);
}

int makeLibrary(const std::string& root, long screenshots, long photos, long days, bool small) {
  std::mt19937_64 random(20261206);
  const std::time_t now = std::time(nullptr);
  std::uniform_int_distribution<std::time_t> age(0, days * 86400);
  const std::pair<std::uint32_t, std::uint32_t> screens[] = {{1920, 1080}, {2560, 1440}, {2880, 1800}, {1366, 768}};
  std::uniform_int_distribution<std::uint64_t> screenshotSize(100000, 900000);
  std::uniform_int_distribution<std::uint64_t> photoSize(1500000, 6000000);
  for (long i = 0; i < screenshots; ++i) {
    const std::time_t when = now - age(random);
    const auto [width, height] = screens[i % 4];
    // Half GNOME-style names in a Screenshots folder, half KDE names by month.
    std::string folder = root + "/Screenshots";
    std::string name = "Screenshot from " + formatTime(when, "%Y-%m-%d %H-%M-%S") + "-" + std::to_string(i) + ".png";
    if (i % 2 == 1) {
      folder = root + "/Screenshots/" + formatTime(when, "%Y-%m");
      name = "Screenshot_" + formatTime(when, "%Y%m%d_%H%M%S") + "_" + std::to_string(i) + ".png";
    }
    fs::create_directories(folder);
    PngFixture image{width, height, {{"Software", "gnome-screenshot"}, {"Creation Time", formatTime(when, "%Y-%m-%dT%H:%M:%S%z")}}};
    image.padding = small ? 0 : screenshotSize(random);
    image.densePadding = true;  // screenshots are what gets copied: real data, no holes
    const std::string path = folder + "/" + name;
    shotsieve::testing::writePng(path, image);
    setModified(path, when);
  }
  for (long i = 0; i < photos; ++i) {
    const std::time_t when = now - age(random);
    const std::string folder = root + "/Camera/" + formatTime(when, "%Y/%m");
    fs::create_directories(folder);
    JpegFixture image{4032, 3024, formatTime(when, "%Y:%m:%d %H:%M:%S")};
    image.padding = photoSize(random);
    const std::string path = folder + "/IMG_" + std::to_string(10000 + i) + ".jpg";
    shotsieve::testing::writeJpeg(path, image);
    setModified(path, when);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  const auto arg = [&](int i, const char* fallback) { return std::string(argc > i ? argv[i] : fallback); };
  try {
    if (mode == "library") {
      return makeLibrary(argv[2], std::stol(arg(3, "10000")), std::stol(arg(4, "20000")), std::stol(arg(5, "60")),
                         arg(6, "") == "small");
    }
    if (mode == "png") {
      PngFixture image{1920, 1080};
      if (!arg(3, "").empty()) image.texts.push_back({"Software", arg(3, "")});
      if (!arg(4, "").empty()) image.texts.push_back({"Creation Time", arg(4, "")});
      shotsieve::testing::writePng(argv[2], image);
      return 0;
    }
    if (mode == "jpeg") {
      shotsieve::testing::writeJpeg(argv[2], JpegFixture{4032, 3024, arg(3, ""), "", arg(4, "")});
      return 0;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_library: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: make_library {library ROOT [N [M [DAYS]]] | png PATH [SOFTWARE [TIME]] | jpeg PATH [DATE [COMMENT]]}\n");
  return 64;
}
