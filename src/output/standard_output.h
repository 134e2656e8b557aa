#pragma once

#include <cstdio>
#include <string_view>

namespace shotsieve {

// EX_IOERR of sysexits.h: the answer did not reach standard output.
inline constexpr int kExitOutputFailed = 74;

// Writes the bytes to the stream. A failure on standard output is
// remembered, so the command can end with kExitOutputFailed instead of a
// success that nobody got the answer of. False when the bytes did not go out.
bool writeToStream(std::FILE* stream, std::string_view bytes);

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// no file opened later takes its number (an export opened as descriptor 1
// would receive the answer). False when standard output was closed.
bool openStandardDescriptors();

// Flushes and closes standard output. Returns the error number of the first
// failed write of the answer, the flush or the close, or 0 when the whole
// answer went out.
int finishStandardOutput();

// "shotsieve: cannot write the answer: REASON" on standard error.
void reportOutputFailure(int error);

// The command's status once its answer is finished: `status` when the whole
// answer was written, else kExitOutputFailed after reporting why.
int statusAfterAnswer(int status);

}  // namespace shotsieve
