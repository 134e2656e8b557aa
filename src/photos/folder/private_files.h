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

// The bytes of the regular file at the path, at most `most` of them; empty
// when it is missing or no regular file. A FIFO or a device found there is
// never waited on. `flags` are added to the open (O_NOFOLLOW, say).
std::string readRegularFile(const std::string& path, std::size_t most, int flags = 0);

// Puts a file's data on the disk before it is renamed over an older version,
// so that after a crash the name holds the one or the other whole: the
// journal commits the rename only with or after the blocks the data was
// written to. Unlike fsync it does not wait for that commit, which carries
// the data of every other file written meanwhile (with a copy of a few
// gigabytes under way, a watch's save held its lines for over a second).
// Where the file system cannot do that, fsync. False on failure.
bool syncedForRename(int fd);

// How a replaced file is synced: a record of the user's own (their choice of
// access) whole on the disk before it is said to be written, or a cache, whose
// rename only needs its data there first (syncedForRename).
enum class Kept { committed, cache };

// Replaces the file with the bytes, or leaves it as it was: written under a
// temporary name of this writer's own, synced, then renamed into place. The
// missing folders above it are made private to the user (0700), as the
// library's state and cache folders should be. False on failure.
bool replacePrivateFile(const std::string& path, std::string_view bytes, Kept kept = Kept::committed);

}  // namespace shotsieve::folder
