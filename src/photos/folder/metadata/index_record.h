#pragma once

#include <cstddef>
#include <optional>

#include "photos/folder/metadata/index_file.h"

namespace shotsieve::folder {

// One entry as the index file and its journal keep it: ten 64-bit words in
// the machine's byte order, the uuid, flags and format, and a CRC-32 of all
// of them, so that a bit flipped on the disk, in memory or in a backup is
// found and its entry read again rather than believed.
inline constexpr std::size_t kIndexRecordSize = 10 * 8 + 16 + 2 + 4;
// The records of the index's version 5, before the checksum: read once, to
// keep the identifiers they hold, and written back in the new form.
inline constexpr std::size_t kUncheckedRecordSize = kIndexRecordSize - 4;

void encodeIndexRecord(const IndexEntry& entry, char* out);

// The entry a record holds; nothing when its checksum fails or it makes no
// sense (a format this build does not know, a capture time that is no number
// or lies outside the years a date can be written in, image sizes that the
// entry's format cannot have).
std::optional<IndexEntry> decodeIndexRecord(const char* in);
std::optional<IndexEntry> decodeUncheckedIndexRecord(const char* in);

}  // namespace shotsieve::folder
