#pragma once

#include <string_view>

namespace shotsieve {

// The cache directory tag (bford.info/cachedir) that tells backup tools
// (and the folder library) that a folder holds a cache: the listing writes it
// into its export directory.
inline constexpr std::string_view kCacheTagName = "CACHEDIR.TAG";

// True when the folder holds a tag that starts with the tag's signature.
bool hasCacheTag(int folderFd);
// The same of the subfolder `name` of the folder open as `parentFd`, not
// opening that subfolder (never through a link).
bool hasCacheTagIn(int parentFd, std::string_view name);

// Writes the tag into the folder unless one is there; false on failure.
bool writeCacheTag(int folderFd);

}  // namespace shotsieve
