#pragma once

#include <string>

#include "photos/folder/metadata/metadata_index.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// How a fetch reads files; the answers are the same either way.
struct ReadSettings {
  unsigned threads = 0;  // 0: ReadPool::defaultThreads()
  enum class DatePrefilter { on, off } datePrefilter = DatePrefilter::on;  // pass over files too old for a dated fetch
  // wholeFile: every fact of every file from the whole file, no shortcut
  // taken; for tests that compare answers with the fast way.
  ReadDepth depth = ReadDepth::head;
};

// The assets of the library below `root` that the options select, newest
// first (ties in path order), each file listed once whatever its number of
// names. Facts come from the index where it knows the file as it is, else
// from the file, and are stored back into the index (not saved).
FetchResult fetchAssets(const std::string& root, MetadataIndex& index, const FetchOptions& options,
                        const ReadSettings& settings);

}  // namespace shotsieve::folder
