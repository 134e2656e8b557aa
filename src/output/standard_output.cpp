#include "output/standard_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "output/print.h"

namespace shotsieve {

namespace {

std::atomic<int> firstFailure{0};

void noteFailure(int error) {
  int none = 0;
  firstFailure.compare_exchange_strong(none, error != 0 ? error : EIO);
}

}  // namespace

bool writeToStream(std::FILE* stream, std::string_view bytes) {
  if (bytes.empty()) return true;
  if (std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size()) return true;
  if (stream == stdout) noteFailure(errno);
  return false;
}

bool openStandardDescriptors() {
  bool outputOpen = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) outputOpen = false;
    // open() takes the lowest free number: this one, as the lower ones are open.
    const int placeholder = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (placeholder >= 0 && placeholder != fd) ::close(placeholder);
  }
  return outputOpen;
}

int finishStandardOutput() {
  if (std::fflush(stdout) != 0) noteFailure(errno);
  if (std::ferror(stdout)) noteFailure(EIO);  // a failure whose reason was not caught when it happened
  // The close reports what a file system only says at the end (NFS, a full quota).
  if (std::fclose(stdout) != 0) noteFailure(errno);
  return firstFailure.load();
}

void reportOutputFailure(int error) { eprint(std::string("shotsieve: cannot write the answer: ") + std::strerror(error)); }

int statusAfterAnswer(int status) {
  const int error = finishStandardOutput();
  if (error == 0) return status;
  reportOutputFailure(error);
  return kExitOutputFailed;
}

}  // namespace shotsieve
