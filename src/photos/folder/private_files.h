#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace shotsieve::folder {

// Makes the missing folders above a file, private to the user (0700), as the
// library's state and cache folders should be. False on failure.
bool makePrivateParentDirectories(const std::string& filePath);

// Writes every byte to the descriptor, going on after interruptions.
bool writeAll(int fd, std::string_view bytes);

// The file's bytes from its start, at most `most` of them: a file that grew
// past what its reader trusts is read no further.
std::string readAtMost(int fd, std::size_t most);

// Replaces the file with the bytes, or leaves it as it was: written under a
// temporary name of this writer's own, synced, then renamed into place. The
// missing folders above it are made private to the user (0700), as the
// library's state and cache folders should be. False on failure.
bool replacePrivateFile(const std::string& path, std::string_view bytes);

}  // namespace shotsieve::folder
