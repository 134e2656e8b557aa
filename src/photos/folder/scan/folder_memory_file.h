#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "photos/folder/scan/folder_memory.h"

namespace shotsieve::folder {

// The records of a file, as far as its first part goes: every folder's
// stamp, subfolders, links, counts and outlook, checked whole. A block per
// folder with files follows them, each under a checksum of its own: its
// every entry, so that a walk that looks at its files takes them as they lie.
struct LoadedFolderRecords {
  std::shared_ptr<const std::string> head;  // the records' subfolders and links lie in it
  std::unordered_map<std::string, FolderRecord> records;
  std::unordered_map<std::string, StoredFiles> stored;  // of those whose files are still in the file
  std::uint64_t filesStart = 0;
};

// The records of the file open as `fd`, or none when it is missing, damaged,
// too big or of another version.
std::optional<LoadedFolderRecords> readFolderRecords(int fd);

// The entries of these folders, subfolders and links then files, read from
// the file in one read into `span`; none in the place of a block whose
// checksum or names are wrong.
std::vector<std::optional<std::string_view>> readStoredFiles(const StoredNamesFile& file,
                                                             const std::vector<StoredFiles>& blocks, std::string& span);

// The bytes of a record file holding these records, whose files are held.
std::string folderRecordsFile(const std::unordered_map<std::string, FolderRecord>& records);

}  // namespace shotsieve::folder
