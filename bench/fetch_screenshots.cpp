// Times the folder library's fetch of the screenshots of the last DAYS days.
//   fetch_screenshots ROOT DAYS CACHE_DIR   (an empty CACHE_DIR keeps no metadata index)
// Prints the number of screenshots found and the seconds the fetch took.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "listing/window.h"
#include "photos/folder/folder_library.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: fetch_screenshots ROOT DAYS CACHE_DIR\n");
    return 64;
  }
  using namespace shotsieve;
  folder::FolderLibrary library({argv[1], "/nonexistent", argv[3], "", ""}, "");
  FetchOptions options{kImageMediaType, kScreenshotSubtype, windowStart(std::stoll(argv[2]), std::time(nullptr))};
  const auto started = std::chrono::steady_clock::now();
  const FetchResult result = library.fetchAssetsWithOptions(options);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  std::printf("%zu %.6f\n", result.count(), took.count());
  return 0;
}
