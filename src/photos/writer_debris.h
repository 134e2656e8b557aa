#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace shotsieve {

// Temporary files carry the process id of their writer in their name, so that
// a later writer can tell those of a writer that ended without finishing
// (killed, out of memory, a power cut) from those of one still at work.

// "PATH.tmp.PID.RANDOM": a name of this process's own beside `path`.
std::string temporaryNameBeside(const std::string& path);
// The writer's process id in such a name of a file beside one called
// `baseName`; nothing for any other name.
std::optional<long> writerOfTemporaryName(std::string_view name, std::string_view baseName);

// True only when no process with this id runs. This process, a process of
// another user, and one that a confinement hides all count as running, so
// that a file of a live writer is never taken for debris.
bool writerHasEnded(long pid);

// Removes the entries of the open folder for which `writerOf` names a writer
// that has ended; returns how many went.
std::size_t removeFilesOfEndedWriters(int folderFd, const std::function<std::optional<long>(std::string_view)>& writerOf);

// Removes the temporaries beside `path` (temporaryNameBeside's) whose writer ended.
void removeTemporariesOfEndedWritersBeside(const std::string& path);

}  // namespace shotsieve
