#pragma once

#include <string>

#include "export/export_directory.h"
#include "photos/photo_library.h"

namespace shotsieve {

// What lies under an export name in the export directory.
enum class CachedCopy {
  absent,       // nothing: a copy is made
  current,      // a regular file of the user's that still holds the original's content: reused
  replaceable,  // a stale copy, a link, a special file or a file of another user: replaced by a fresh copy
  blocked,      // a folder: never removed, so the entry is missing
};

// Looks at the entry without following a link. A copy is current while its
// recorded content version equals the resource's; a copy with none recorded
// (made before versions were kept, or on a file system without extended
// attributes) while it was born after the original last changed; and any
// copy when the library cannot tell its resource's version.
CachedCopy inspectCachedCopy(const ExportDirectory& dir, const std::string& name, const AssetResource& resource);

// Records the resource's content version with a fresh copy. Best effort: a
// file system without extended attributes keeps none.
void recordCopiedVersion(const ExportDirectory& dir, const std::string& name, const AssetResource& resource);

// Stamps the entry (a link itself, not its target) as used now; false when it
// is no longer there.
bool stampAsUsed(const ExportDirectory& dir, const std::string& name);

}  // namespace shotsieve
