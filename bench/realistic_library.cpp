// Writes a Pictures folder shaped like years of real screenshots and photos,
// deterministically, with every byte on disk (no holes), for benchmarks whose
// library must be larger than the page cache.
//
//   realistic_library ROOT [SCALE]
//     SCALE 1 (the default) writes 6,000 screenshots and 24,000 photos,
//     about 50 GB; SCALE 0.1 a tenth of each.
//
// Screenshots: PNGs of 100 KB to 1 MB at real screen sizes (1920x1080 to
// 3840x2160, phone portraits), RGB and RGBA, image data in 8 KiB IDAT chunks
// as libpng writes it; about half carry a screenshot tool's "Software" text,
// a third an eXIf chunk before the image data with DateTimeOriginal, a
// quarter an XMP packet in an iTXt chunk as macOS writes it, a fifth a
// "Creation Time" text; in Pictures/Screenshots and Pictures/YYYY/MM.
// Photos: JPEGs of 0.8 to 3 MB with an Exif APP1 segment (make, model, dates,
// pixel sizes) in Pictures/Camera/YYYY/MM. File times spread over two years.

#include <sys/time.h>
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image_fixtures.h"

namespace {

using shotsieve::testing::pngChunk;
namespace fs = std::filesystem;

constexpr std::uint32_t kScreens[][2] = {{1920, 1080}, {2560, 1440}, {2880, 1800}, {3840, 2160},
                                         {1170, 2532}, {1080, 2400}, {1284, 2778}, {1366, 768}};
constexpr const char* kTools[] = {"gnome-screenshot", "Spectacle", "Flameshot", "ksnip", "xfce4-screenshooter",
                                  "Screenshot"};
constexpr const char* kCameras[][2] = {{"Apple", "iPhone 13"}, {"Google", "Pixel 7"}, {"SONY", "ILCE-7M3"},
                                       {"Canon", "Canon EOS R6"}, {"samsung", "SM-S911B"}};

std::string big32(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}

std::string formatTime(std::time_t when, const char* format) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[64];
  std::strftime(text, sizeof text, format, &utc);
  return text;
}

std::string exifBlob(const Exiv2::ExifData& exif) {
  Exiv2::Blob blob;
  Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
  return std::string(blob.begin(), blob.end());
}

// An XMP packet as macOS writes into its screenshots.
std::string macXmp(std::uint32_t width, std::uint32_t height) {
  return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\" x:xmptk=\"XMP Core 6.0.0\">\n"
         "   <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
         "      <rdf:Description rdf:about=\"\"\n"
         "            xmlns:exif=\"http://ns.adobe.com/exif/1.0/\">\n"
         "         <exif:PixelYDimension>" + std::to_string(height) + "</exif:PixelYDimension>\n"
         "         <exif:PixelXDimension>" + std::to_string(width) + "</exif:PixelXDimension>\n"
         "         <exif:UserComment>Screenshot</exif:UserComment>\n"
         "      </rdf:Description>\n"
         "   </rdf:RDF>\n"
         "</x:xmpmeta>\n";
}

// Compressed image data of about `size` bytes: flat rows, then noise until
// the stream is long enough. A few are made and shared among files of one shape.
std::string imageData(std::uint32_t width, std::uint32_t height, bool alpha, std::size_t size, std::mt19937_64& random) {
  const std::size_t row = 1 + width * (alpha ? 4 : 3);
  std::string raw(row * height, '\0');
  const std::size_t noisy = std::min(raw.size(), size * 9 / 10);
  for (std::size_t i = raw.size() - noisy; i < raw.size(); i += 8) {
    const std::uint64_t value = random();
    std::memcpy(raw.data() + i, &value, std::min<std::size_t>(8, raw.size() - i));
  }
  for (std::size_t y = 0; y < height; ++y) raw[y * row] = 0;  // filter type "none" on every row
  uLongf length = compressBound(raw.size());
  std::string out(length, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 1);
  out.resize(length);
  return out;
}

void write(const std::string& path, const std::string& bytes, std::time_t when) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const timeval times[2] = {{when, 0}, {when, 0}};
  ::utimes(path.c_str(), times);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: realistic_library ROOT [SCALE]\n");
    return 64;
  }
  const std::string root = argv[1];
  const double scale = argc > 2 ? std::stod(argv[2]) : 1.0;
  const long screenshots = static_cast<long>(6000 * scale), photos = static_cast<long>(24000 * scale);
  std::mt19937_64 random(20261207);
  const std::time_t now = std::time(nullptr);
  std::uniform_int_distribution<std::time_t> age(0, 730L * 86400);
  Exiv2::XmpParser::initialize();

  // Image data shared by screenshots of one shape: 8 shapes x RGB/RGBA x 4 sizes.
  std::vector<std::string> payloads;
  for (const auto& screen : kScreens) {
    for (const bool alpha : {false, true}) {
      for (const std::size_t size : {100000, 300000, 600000, 1000000}) {
        payloads.push_back(imageData(screen[0], screen[1], alpha, size, random));
      }
    }
  }
  for (long i = 0; i < screenshots; ++i) {
    const std::time_t when = now - age(random);
    const std::size_t shape = random() % 8, alpha = random() % 2, size = random() % 4;
    const auto [width, height] = std::pair(kScreens[shape][0], kScreens[shape][1]);
    std::string png = "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", big32(width) + big32(height) + std::string(1, 8) +
                                                               std::string(1, alpha ? 6 : 2) + std::string(3, '\0'));
    if (i % 2 == 0) png += pngChunk("tEXt", std::string("Software") + '\0' + kTools[random() % std::size(kTools)]);
    if (i % 3 == 0) {
      Exiv2::ExifData exif;
      exif["Exif.Photo.DateTimeOriginal"] = formatTime(when, "%Y:%m:%d %H:%M:%S");
      exif["Exif.Photo.PixelXDimension"] = width;
      exif["Exif.Photo.PixelYDimension"] = height;
      png += pngChunk("eXIf", exifBlob(exif));
    }
    if (i % 4 == 0) png += pngChunk("iTXt", std::string("XML:com.adobe.xmp") + std::string(5, '\0') + macXmp(width, height));
    if (i % 5 == 0) png += pngChunk("tEXt", std::string("Creation Time") + '\0' + formatTime(when, "%a, %d %b %Y %H:%M:%S GMT"));
    const std::string& data = payloads[(shape * 2 + alpha) * 4 + size];
    for (std::size_t at = 0; at < data.size(); at += 8192) png += pngChunk("IDAT", data.substr(at, 8192));
    png += pngChunk("IEND", "");
    const std::string folder = i % 2 == 0 ? "Screenshots" : formatTime(when, "%Y/%m");
    write(root + "/" + folder + "/Screenshot from " + formatTime(when, "%Y-%m-%d %H-%M-%S") + "-" + std::to_string(i) +
              ".png",
          png, when);
  }
  std::string noise(3200000, '\0');
  for (auto& c : noise) c = static_cast<char>(random() % 255);  // no 0xFF: no markers inside the scan
  std::uniform_int_distribution<std::size_t> photoSize(800000, 3000000);
  for (long i = 0; i < photos; ++i) {
    const std::time_t when = now - age(random);
    const auto& camera = kCameras[random() % std::size(kCameras)];
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = camera[0];
    exif["Exif.Image.Model"] = camera[1];
    exif["Exif.Image.DateTime"] = formatTime(when, "%Y:%m:%d %H:%M:%S");
    exif["Exif.Photo.DateTimeOriginal"] = formatTime(when, "%Y:%m:%d %H:%M:%S");
    exif["Exif.Photo.DateTimeDigitized"] = formatTime(when, "%Y:%m:%d %H:%M:%S");
    exif["Exif.Photo.OffsetTimeOriginal"] = "+00:00";
    exif["Exif.Photo.PixelXDimension"] = 4032;
    exif["Exif.Photo.PixelYDimension"] = 3024;
    std::string jpeg("\xFF\xD8", 2);
    const auto segment = [&](unsigned char marker, const std::string& data) {
      const std::size_t length = data.size() + 2;
      jpeg += std::string{'\xFF', static_cast<char>(marker), static_cast<char>(length >> 8), static_cast<char>(length)};
      jpeg += data;
    };
    segment(0xE1, std::string("Exif\0\0", 6) + exifBlob(exif));
    segment(0xDB, std::string(1, 0) + std::string(64, 1));
    segment(0xC0, std::string("\x08\x0B\xD0\x0F\xC0\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 15));
    segment(0xC4, std::string(1, 0) + std::string(16, 0) );
    segment(0xDA, std::string("\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00", 10));
    const std::size_t size = photoSize(random);
    const std::size_t from = random() % (noise.size() - size);
    jpeg += noise.substr(from, size - jpeg.size());
    jpeg += "\xFF\xD9";
    write(root + "/Camera/" + formatTime(when, "%Y/%m") + "/IMG_" + std::to_string(10000 + i) + ".jpg", jpeg, when);
  }
  return 0;
}
