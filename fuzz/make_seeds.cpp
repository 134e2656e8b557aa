// Writes the seed corpus of every fuzz target from the project's own fixture
// generators: real PNG and JPEG files with metadata, the heads of the other
// formats, a metadata index, the texts the parsers read.
//   make_seeds -seeds=DIR
// Built like the fuzz targets, whose instrumentation needs libFuzzer's
// runtime; it writes the seeds before any fuzzing starts and ends there.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image_fixtures.h"
#include "photos/folder/metadata/metadata_index.h"

// Fixtures name only the fields that matter to each seed.
#pragma clang diagnostic ignored "-Wmissing-field-initializers"

using namespace shotsieve::testing;
namespace fs = std::filesystem;

namespace {

void seed(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  writeFile((dir / name).string(), bytes);
}

std::string box(const std::string& type, const std::string& body) {
  const auto size = static_cast<std::uint32_t>(body.size() + 8);
  std::string out{static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
                  static_cast<char>(size)};
  return out + type + body;
}

// A RIFF chunk: its size little-endian, its data padded to an even length.
std::string riffChunk(const std::string& type, const std::string& body) {
  const auto size = static_cast<std::uint32_t>(body.size());
  std::string out = type + std::string{static_cast<char>(size), static_cast<char>(size >> 8), static_cast<char>(size >> 16),
                                       static_cast<char>(size >> 24)};
  return out + body + (body.size() % 2 ? std::string(1, '\0') : "");
}

// An extended WebP: the canvas, a VP8 frame header, then Exif and XMP after it.
std::string extendedWebp() {
  const std::string body = riffChunk("VP8X", std::string("\x0c\0\0\0\x3f\x01\0\xef\0\0", 10)) +
                           riffChunk("VP8 ", std::string("\x10\x02\0\x9d\x01\x2a\x40\x01\xf0\0", 10) + std::string(64, '\x55')) +
                           riffChunk("EXIF", "Exif" + std::string(2, '\0') + exifPayload(JpegFixture{0, 0, "2024:03:05 14:07:09"})) +
                           riffChunk("XMP ", xmpWithRating(5));
  return riffChunk("RIFF", "WEBP" + body);
}

}  // namespace

int writeSeeds(const fs::path& root) {
  std::vector<std::pair<std::string, std::string>> images = {
      {"plain.png", pngBytes(PngFixture{64, 32})},
      {"texts.png", pngBytes(PngFixture{1920, 1080, {{"Software", "gnome-screenshot"}, {"Creation Time", "2024-03-05T14:07:09Z"}},
                                        xmpWithRating(5)})},
      {"header-only.png", pngHeaderOnly(800, 600)},
      {"exif.jpg", jpegBytes(JpegFixture{1170, 2532, "2024:03:05 14:07:09", "+01:00", "Screenshot", 5})},
      {"plain.jpg", jpegBytes(JpegFixture{64, 48})},
      {"head.gif", std::string("GIF89a\x02\x00\x02\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x00\x00\x00\x00\x00,"
                               "\x00\x00\x00\x00\x02\x00\x02\x00\x00\x02\x02\x44\x01\x00;", 43)},
      {"head.webp", std::string("RIFF\x1a\x00\x00\x00WEBPVP8L\x0d\x00\x00\x00\x2f\x00\x00\x00\x10\x07\x10\x11\x11\x88\x88\xfe\x07\x00", 34)},
      {"extended.webp", extendedWebp()},
      {"head.tif", std::string("II*\x00\x08\x00\x00\x00\x03\x00\x00\x01\x03\x00\x01\x00\x00\x00\x02\x00\x00\x00\x11\x01\x04\x00"
                               "\x01\x00\x00\x00\x30\x00\x00\x00\x17\x01\x04\x00\x01\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00"
                               "\x00\x00\x00\x00", 52)},
      {"head.bmp", std::string("BM\x3a\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x01\x00\x00\x00\x01\x00\x00\x00"
                               "\x01\x00\x18\x00\x00\x00\x00\x00\x04\x00\x00\x00", 38) + std::string(20, '\0')},
      {"head.heic", box("ftyp", std::string("heic\0\0\0\0mif1heic", 16)) + box("meta", std::string(4, '\0')) +
                        box("mdat", "data")},
      {"head.avif", box("ftyp", std::string("avif\0\0\0\0avifmif1", 16)) + box("meta", std::string(4, '\0'))},
  };
  for (const auto& [name, bytes] : images) {
    seed(root / "image_facts", name, bytes);
    seed(root / "wholeness", name, bytes);
    seed(root / "wholeness", "cut-" + name, bytes.substr(0, bytes.size() / 2));
  }
  {
    const std::string path = (root / "metadata_index" / "index").string();
    fs::create_directories(root / "metadata_index");
    shotsieve::folder::MetadataIndex index(path);
    shotsieve::folder::ImageFacts facts;
    facts.format = shotsieve::folder::FileFormat::jpeg;
    facts.width = 4032;
    facts.captureDate = 1709644029;
    for (const char* name : {"a.png", "Screenshots/b.png", "c.jpg"}) index.store(name, {100, 2, 3, 4}, facts);
    index.save();
  }
  const std::vector<std::string> texts = {
      "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n# comment\nXDG_VIDEOS_DIR=\"$HOME/Videos\"\n",
      "XDG_PICTURES_DIR=\"/data/My \\\"Pics\\\"\"\n", "authorized\n", "3", "2024:03:05 14:07:09",
      "2024-03-05T14:07:09.5-02:00", "Tue, 05 Mar 2024 14:07:09 GMT", "Screenshot from 2024-03-05 14-07-09.png",
      "Screen Shot 2024-03-05 at 2.07.09\u202fPM.png", "스크린샷 2024-03-05 오후 2.07.09.png", "20240305140709_1.jpg"};
  for (std::size_t i = 0; i < texts.size(); ++i) seed(root / "text_parsers", "t" + std::to_string(i), texts[i]);
  for (const char* count : {"7", "-9223372036854775808", "+007", "9223372036854775808", "-"}) {
    seed(root / "day_count", std::string("d") + count, count);
  }
  seed(root / "json_encode", "object", std::string("\x00\x03\x04name\x02\x05value\x04key2\x03\x01\x02\x03\x04\x05\x06\x07\x08", 28));
  seed(root / "json_encode", "array", std::string("\x01\x04\x04\x00\x00\x00\x00\x00\x00\xf0\x3f\x05\x01\x02\x02\xc3\xa9", 17));
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    const std::string arg = (*argv)[i];
    if (arg.starts_with("-seeds=")) std::exit(writeSeeds(arg.substr(7)));
  }
  std::exit(64);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
