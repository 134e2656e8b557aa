#include "watch/watch_end.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>

#include "listing/list_command.h"
#include "output/print.h"
#include "output/standard_output.h"
#include "photos/authorization.h"

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

namespace {

// How often an idle watch looks whether its access was withdrawn; a line is
// never written without a look just before it.
constexpr int kAccessLookEveryMs = 5000;

}  // namespace

std::mutex& watchLineLock() {
  static std::mutex lock;
  return lock;
}

void endWatchNotAuthorized(int status) {
  watchLineLock().lock();  // held until the end: no screenshot line after this one
  printJSONText(notAuthorizedJSON(status));
  if (std::fflush(stdout) != 0) endWatchForOutputFailure(errno);
  std::_Exit(kExitNotAuthorized);
}

void watchUntilReaderGoes(const std::function<int()>& currentStatus) {
  for (bool pollable = true;;) {
    // No events asked for: a pipe whose reader closed reports POLLERR, a
    // socket or terminal whose other end went POLLHUP.
    pollfd output{STDOUT_FILENO, 0, 0};
    const int ready = pollable ? ::poll(&output, 1, kAccessLookEveryMs) : (::sleep(kAccessLookEveryMs / 1000), 0);
    if (ready < 0 && errno != EINTR) pollable = false;  // cannot watch the descriptor: only the access then
    if (ready > 0 && (output.revents & (POLLERR | POLLHUP | POLLNVAL))) endWatchForGoneReader();
    if (const int status = currentStatus(); !authStatusAllowsReading(status)) endWatchNotAuthorized(status);
  }
}

}  // namespace shotsieve
