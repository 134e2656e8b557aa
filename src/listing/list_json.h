#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "export/export_original.h"
#include "output/answer.h"
#include "photos/photo_library.h"

namespace shotsieve {

inline constexpr std::int64_t kCacheKeepDays = 14;

struct ListOptions {
  double budgetSeconds = 0.0;  // for the export loop; not above 0 (or NaN) means no limit
  NetworkAccess networkAccess = NetworkAccess::allowed;
  std::chrono::milliseconds exportTimeout = kExportTimeout;
  // Exports under way at once. Each one waits for its data to reach the disk;
  // overlapping a few lets the file system commit them together.
  std::size_t exportsInFlight = 4;
};

// The screenshots of the last `days` calendar days, newest first, each
// exported into `exportDir`, then the directory pruned of entries unused for
// 14 days. Returns the list result (with a truncation marker when the budget
// ran out) or the not-authorized result, as JSON text, or why no answer could
// be made (a fetch that lost screenshots, out of memory). Never throws.
// The budget is checked before each export starts; exports already under way
// when it runs out are finished and listed, so the entries are always the
// newest of the window, in order.
Answer listJSON(PhotoLibrary& library, std::int64_t days, const std::string& exportDir,
                     const ListOptions& options = {});

enum class ListStreamOutcome { listed, notAuthorized, failed };
struct ListStreamed {
  ListStreamOutcome outcome;
  std::string failure;  // why, when it failed
};

// The same answer and a newline, written to `out` as it is made, for the
// command line: a listing of a hundred thousand screenshots then never holds
// its tens of megabytes of text. A listing that fails leaves nothing on `out`,
// or the complete array of the entries written before it failed.
[[nodiscard]] ListStreamed streamListJSON(PhotoLibrary& library, std::int64_t days, const std::string& exportDir,
                                 std::FILE* out, const ListOptions& options = {});

}  // namespace shotsieve
