#pragma once

#include <optional>
#include <string>
#include <unordered_map>

#include "photos/folder/metadata/index_file.h"
#include "photos/folder/scan/folder_memory.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/photo_library.h"

namespace shotsieve::folder {

// What a file's index entry, as last read, says of the fetches that may
// select it: the latest date its asset may have (by its file times, or by
// its capture date where that was read), and whether it may be a screenshot
// (by its folder and name, or by its marks where those were read).
FilesOutlook outlookOf(const IndexEntry& entry, const LibraryFile& file);

// True when no file of that outlook is selected by the options.
bool outlookRulesOut(const FilesOutlook& outlook, const FetchOptions& options);

// The outlook of each folder's files, gathered file by file as a fetch looks
// at them or knows them, for the folders' records.
class FolderOutlooks {
 public:
  void add(const std::string& relativePath, const FilesOutlook& outlook);
  // A file that could not be looked at: its folder gets no outlook.
  void unknown(const std::string& relativePath);
  void addAll(const FolderOutlooks& other);
  // Into the records of the folders each of whose files was looked at or known.
  void keepIn(FolderMemory& memory, int mediaType) const;

 private:
  struct Part {
    std::optional<FilesOutlook> outlook;
    bool someUnknown = false;
  };
  std::unordered_map<std::string, Part> byFolder_;
};

}  // namespace shotsieve::folder
