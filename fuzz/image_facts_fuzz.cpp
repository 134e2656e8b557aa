// The facts of one image file, through the code the walk uses: sniffing,
// libpng, exiv2 and the date parsers; and the wholeness check of a file
// being written.
#include <cstdint>
#include <cstdlib>

#include "fuzz_file.h"
#include "photos/folder/metadata/file_format.h"
#include "photos/folder/metadata/image_metadata.h"
#include "photos/folder/metadata/image_wholeness.h"

using namespace shotsieve::folder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = shotsieve::fuzzing::scratchPath(".img");
  shotsieve::fuzzing::writeScratch(path, data, size);
  const ImageFacts facts = readImageFacts(path);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The format comes from the first bytes alone, whatever the parsers make of the rest.
  if (facts.format != sniffFileFormat(bytes.substr(0, kSniffBytes))) std::abort();
  if (facts.width < 0 || facts.height < 0) std::abort();
  if (imageDataLooksWhole(path) != imageBytesLookWhole(bytes)) std::abort();
  return 0;
}
