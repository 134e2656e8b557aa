#pragma once

#include <optional>

#include "photos/folder/metadata/metadata_index.h"
#include "photos/folder/scan/file_status.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// The date of a file's asset: its capture date, else the date in a screenshot
// tool's name, else its file time (the earlier of birth and modification).
double creationDateOf(const LibraryFile& file, std::optional<double> captureDate, std::int64_t fileNanoseconds);

// The asset of a file: dates from its status, the rest from the facts read
// from its data, and the identifier it was given when first seen (through
// the index). Nothing when the content is not of the media type its name
// promises (text or random bytes under an image name are no asset), or when
// `select` is given and does not select it; the identifier is only worked
// out for an asset that is kept.
std::optional<Asset> assetOfFacts(const LibraryFile& file, const FileStatus& status, const ImageFacts& facts,
                                  MetadataIndex& index, const FetchOptions* select = nullptr);

// The same for a file the watcher looks at, with the facts through the index,
// so unchanged files are not read again, else read from `content`, the file's
// content opened by the caller (openContent); no asset for a file it could
// not open, and nothing remembered. For an image, also whether its data is
// complete, judged on the bytes read for the facts where they reach.
struct FileLook {
  std::optional<Asset> asset;
  ImageFacts facts;
  bool whole = false;
};
FileLook lookAtFile(const LibraryFile& file, const FileStatus& status, MetadataIndex& index, int content);

// The facts of a file whose status was just read, from its content, as far as
// `need` asks; nothing (errno set) when it cannot be opened.
std::optional<ImageFacts> readFactsOf(const LibraryFile& file, const FileStatus& status, Need need = Need::everything,
                       ReadDepth depth = ReadDepth::head);

// What a fetch needs to read of a file: when it selects nothing but
// screenshots, only whether its metadata marks a screenshot (a file whose
// folder and name do not make it one), or all but that (a file they do).
Need needOf(const LibraryFile& file, const FetchOptions& options);

}  // namespace shotsieve::folder
