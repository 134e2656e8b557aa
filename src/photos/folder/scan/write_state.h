#pragma once

#include <chrono>
#include <cstdint>

#include "photos/folder/scan/file_status.h"

namespace shotsieve::folder {

// When a file counts as a screenshot yet: one that is not whole and changed
// within the last moments is still being written and does not exist yet, for
// the listings as for the watch (whose writer tracking waits for it); one
// that stays incomplete past them is damaged, and listed as it is.
inline constexpr auto kStillWriting = std::chrono::seconds(10);

// Whether the file changed so recently that, were it not whole, it would
// still be being written: only such files need a whole-file check.
// `nowNanoseconds` is wall time.
bool mayStillBeWritten(const FileStatus& status, std::int64_t nowNanoseconds);

}  // namespace shotsieve::folder
