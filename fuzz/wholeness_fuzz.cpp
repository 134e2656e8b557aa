// The structural wholeness check of every format, on bytes in memory.
#include <cstdint>
#include <string_view>

#include "photos/folder/metadata/image_wholeness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  shotsieve::folder::imageBytesLookWhole(bytes);
  return 0;
}
