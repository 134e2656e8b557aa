// The metadata index loader on any file: a damaged index must read as empty
// or as entries, never crash, identifiers must be found or given among
// whatever it holds, and what a save (merged with the file) writes must load
// back; every entry loaded is written and read back as the very same entry.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_file.h"
#include "photos/folder/metadata/index_record.h"
#include "photos/folder/metadata/metadata_index.h"

using namespace shotsieve::folder;

namespace {

std::string recordOf(const IndexEntry& entry) {
  std::string bytes(kIndexRecordSize, '\0');
  encodeIndexRecord(entry, bytes.data());
  return bytes;
}

// What loads is what was saved: written again and read back, each entry is the same.
void roundTrip(const std::string& path) {
  const auto loaded = readIndexFile(path);
  if (!loaded) return;
  const std::string& copy = shotsieve::fuzzing::scratchPath(".copy");
  {
    IndexFileWriter writer(copy);
    for (const auto& entry : loaded->entries) writer.add(entry);
    if (!writer.commit()) return;
  }
  const auto back = readIndexFile(copy);
  if (!back || back->mended || back->entries.size() != loaded->entries.size()) std::abort();
  for (std::size_t i = 0; i < back->entries.size(); ++i) {
    if (recordOf(back->entries[i]) != recordOf(loaded->entries[i])) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = shotsieve::fuzzing::scratchPath(".index");
  shotsieve::fuzzing::writeScratch(path, data, size);
  roundTrip(path);
  const FileStamp stamp{size, 1, 2, 3};
  ImageFacts facts;
  facts.format = FileFormat::png;
  facts.width = 640;
  {
    MetadataIndex index(path);
    index.find("Screenshots/a.png", stamp);
    index.keep("b.png");
    index.store("fuzzed.png", stamp, facts);
    // Identifiers looked up by path and by inode among whatever the file held.
    index.identifierOf("fuzzed.png", stamp, [](int attempt) { return Uuid{static_cast<std::uint8_t>(attempt)}; });
    index.identifierOf("moved.png", FileStamp{size, 1, 2, 3, 4}, [](int) { return Uuid{}; });
    index.save(MetadataIndex::Seen::someFiles, MetadataIndex::Afterwards::keepLoaded);
    index.forget("moved.png");
    index.save(MetadataIndex::Seen::everyFile);
  }
  MetadataIndex reread(path);
  const auto found = reread.find("fuzzed.png", stamp);
  if (!found || found->width != 640 || found->format != FileFormat::png) std::abort();
  return 0;
}
