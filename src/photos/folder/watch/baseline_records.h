#pragma once

#include <future>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "photos/folder/scan/folder_memory.h"

namespace shotsieve::folder {

// The baseline fetch's record of folders, the names of the files it will
// pass over read on the watcher's thread while the watcher's caller covers
// the folders; the fetch takes it once they are read.
class BaselineRecords {
 public:
  // On the watcher's thread, once; none when not `wanted`, or when memory ran
  // out (the fetch then reads its own).
  void read(const std::string& cacheDir, bool wanted) noexcept {
    if (wanted) {
      try {
        records_.emplace(folderMemoryIn(cacheDir));
        records_->load();
        records_->keepNamesOfFilesPassedOver();
      } catch (const std::bad_alloc&) {
        records_.reset();
      }
    }
    read_.set_value();
  }
  // Waits until they are read.
  std::optional<FolderMemory> take() {
    readBy_.wait();
    return std::exchange(records_, std::nullopt);
  }

 private:
  std::optional<FolderMemory> records_;
  std::promise<void> read_;
  std::shared_future<void> readBy_{read_.get_future()};
};

}  // namespace shotsieve::folder
