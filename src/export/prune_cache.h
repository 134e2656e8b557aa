#pragma once

#include <cstdint>
#include <string>

#include "export/export_directory.h"

namespace shotsieve {

// Removes from the export directory the entries that exports make (an asset
// UUID with its extension, or such a copy's unfinished ".part" file) that
// were last modified before now - keepDays * 86400 s: regular files, and
// links, judged by their own time and removed as links; and, whatever their
// age, the unfinished copies of writers that no longer run. Folders, and entries
// of every other name, are never touched, whatever their age; an unusable
// directory is left alone. Silent: every failure is ignored.
void pruneCache(const ExportDirectory& dir, std::int64_t keepDays);

// The same for a directory by path, as it is.
void pruneCache(const std::string& dir, std::int64_t keepDays);

}  // namespace shotsieve
