// Times the metadata index at a given size: writing it, loading it and
// looking every entry up, with its size on disk and the memory it takes.
//   index_scale ENTRIES DIR [load]   ("load": an index written by an earlier run, so the
//                                     peak memory is the load path's alone)
// Prints: entries, save seconds, load-and-find seconds, bytes on disk, peak KiB.

#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "photos/folder/metadata/metadata_index.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: index_scale ENTRIES DIR [load]\n");
    return 64;
  }
  using namespace shotsieve::folder;
  using Clock = std::chrono::steady_clock;
  const long entries = std::stol(argv[1]);
  const std::string path = std::string(argv[2]) + "/metadata-index";
  const auto name = [](long i) { return "Camera/" + std::to_string(i / 1000) + "/IMG_" + std::to_string(i) + ".JPG"; };
  ImageFacts facts;
  facts.format = FileFormat::jpeg;
  facts.width = 4032;
  facts.height = 3024;
  facts.captureDate = 1.7e9;
  const bool loadOnly = argc == 4 && std::string(argv[3]) == "load";
  const auto built = Clock::now();
  if (!loadOnly) {
    MetadataIndex index(path);
    for (long i = 0; i < entries; ++i) index.store(name(i), FileStamp{static_cast<std::uint64_t>(i), i, 7, i}, facts);
    index.save();
  }
  const std::chrono::duration<double> save = Clock::now() - built;
  const auto loading = Clock::now();
  long found = 0;
  {
    MetadataIndex index(path);
    for (long i = 0; i < entries; ++i) found += index.find(name(i), FileStamp{static_cast<std::uint64_t>(i), i, 7, i}) ? 1 : 0;
    index.save();  // nothing changed: nothing is written
  }
  const std::chrono::duration<double> load = Clock::now() - loading;
  struct stat info {};
  ::stat(path.c_str(), &info);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld found of %ld, save %.3f s, load and find %.3f s, %lld bytes, peak %ld KiB\n", found, entries,
              save.count(), load.count(), static_cast<long long>(info.st_size), usage.ru_maxrss);
  return found == entries ? 0 : 1;
}
