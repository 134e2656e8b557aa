#include "photos/folder/scan/write_state.h"

#include <algorithm>

namespace shotsieve::folder {

bool mayStillBeWritten(const FileStatus& status, std::int64_t nowNanoseconds) {
  // Either time: a copy that keeps its source's modification time still changes its change time.
  const std::int64_t lastChange = std::max(status.stamp.modifiedNanoseconds, status.stamp.changedNanoseconds);
  return nowNanoseconds - lastChange < std::chrono::nanoseconds(kStillWriting).count();
}

}  // namespace shotsieve::folder
