#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/scan/folder_memory.h"
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

// A regular file a fetch found, as it was then: what a watcher needs to know
// a file present at its start again when it is renamed or moved.
struct SeenFile {
  std::string relativePath;
  std::uint64_t inode = 0;
  std::int64_t birthNanoseconds = 0;  // 0 where the file system keeps none
};
using FilesSeen = std::function<void(std::vector<SeenFile>)>;

struct FolderFetch {
  FetchResult result;
  // What the walk met every file of, for the index's save after it.
  MetadataIndex::Seen seen = MetadataIndex::Seen::someFiles;
};

// The assets of the library below `root` that the options select, newest
// first (ties in path order), each file listed once whatever its number of
// names. Facts come from the index where it knows the file as it is, else
// from the file, and are stored back into the index (not saved). `seen`, if
// given, is told of every regular file of the media type, a batch at a time
// from any thread, but those of folders whose files were passed over whole
// (`folders` names them afterwards: FolderMemory::foldersPassedOver). A batch
// that fails (out of memory) leaves its files out and says so in the result's
// failure. With `folders`, a folder whose list of entries is as remembered is
// not read again, and a file in it that the index knows to lie outside a
// dated fetch's window is not looked at either.
FolderFetch fetchAssets(const std::string& root, MetadataIndex& index, const FetchOptions& options,
                        const ReadSettings& settings, const FilesSeen& seen = {}, FolderMemory* folders = nullptr);

}  // namespace shotsieve::folder
