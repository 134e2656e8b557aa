#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace shotsieve {

// The destination's extension: the text after the last "." of the name's last
// component, lower-cased by the full Unicode rules; "png" when empty.
std::string exportExtension(std::string_view originalFilename);

// A temporary name beside `name` that no other writer uses: the name, a
// part unique to this writer, ".part".
std::string temporaryExportName(std::string_view name);

// True for the names an export writes and nothing else: an upper-case asset
// UUID, "." and a lower-case extension (UUID.ext), or such a name's
// unfinished copy (UUID.ext.part, or with a writer's unique part before
// ".part"). Only entries of these names are ever pruned or reused.
bool isExportEntryName(std::string_view name);

// The process id of the writer of an unfinished copy (UUID.ext.PID-N-HEX.part).
std::optional<long> writerOfExportPart(std::string_view name);

}  // namespace shotsieve
