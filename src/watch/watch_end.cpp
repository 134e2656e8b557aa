#include "watch/watch_end.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "output/standard_output.h"

namespace shotsieve {

void endWatchForGoneReader() {
  struct sigaction current{};
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) std::raise(SIGPIPE);
  std::_Exit(0);  // the library's thread may be at work: no destructors
}

void endWatchForOutputFailure(int error) {
  if (error == EPIPE) endWatchForGoneReader();
  reportOutputFailure(error);
  std::_Exit(kExitOutputFailed);
}

void watchUntilReaderGoes() {
  for (;;) {
    // No events asked for: a pipe whose reader closed reports POLLERR, a
    // socket or terminal whose other end went POLLHUP.
    pollfd output{STDOUT_FILENO, 0, 0};
    const int ready = ::poll(&output, 1, -1);
    if (ready < 0 && errno != EINTR) {
      for (;;) ::pause();  // cannot watch the descriptor: keep the old way of waiting
    }
    if (ready > 0 && (output.revents & (POLLERR | POLLHUP | POLLNVAL))) endWatchForGoneReader();
  }
}

}  // namespace shotsieve
