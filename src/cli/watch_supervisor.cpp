#include "cli/watch_supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>

#include "cli/confinement.h"
#include "photos/unique_fd.h"
#include "watch/watch_handover.h"

extern char** environ;

namespace shotsieve {

namespace {

// A worker that hands over sooner than this after it started is followed by
// the next only after this long: a library that keeps moving must not keep
// the supervisor starting workers at full speed.
constexpr auto kSteadyWorker = std::chrono::seconds(1);
// What a worker's process ends with when the program could not be started in it.
constexpr int kExitCannotStart = 127;

// The arguments and environment a worker is started with, built before any
// fork: the child of a fork only calls what is safe there.
struct WorkerStart {
  std::vector<std::string> strings;
  std::vector<char*> argv;
  std::vector<char*> envp;

  WorkerStart(const std::vector<std::string>& args, int handOverFd) {
    const std::string variable = std::string(kWatchWorkerVariable) + "=";
    strings = args;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (!std::string_view(*entry).starts_with(variable)) strings.emplace_back(*entry);
    }
    strings.push_back(variable + std::to_string(handOverFd));
    for (std::size_t i = 0; i < strings.size(); ++i) {
      (i < args.size() ? argv : envp).push_back(strings[i].data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
};

pid_t startWorker(int program, const WorkerStart& start) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The worker ends with its supervisor, whoever ends that.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
  ::syscall(SYS_execveat, program, "", start.argv.data(), start.envp.data(), AT_EMPTY_PATH);
  ::_exit(kExitCannotStart);
}

// Ends this process the way the last worker ended.
int endedLike(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    ::signal(signal, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    ::sigprocmask(SIG_UNBLOCK, &just, nullptr);
    ::raise(signal);
    return 128 + signal;
  }
  return 1;
}

}  // namespace

std::optional<int> superviseWatch(const std::vector<std::string>& args) {
  const UniqueFd program(::open("/proc/self/exe", O_PATH | O_CLOEXEC));
  const UniqueFd handOver(::memfd_create("shotsieve-watch-hand-over", 0));  // inherited by each worker
  if (!program || !handOver) return std::nullopt;
  const WorkerStart start(args, handOver.get());
  confineSupervisor(program.get());
  for (bool first = true;;) {
    const auto started = std::chrono::steady_clock::now();
    const pid_t worker = startWorker(program.get(), start);
    if (worker < 0) return std::nullopt;
    int status = 0;
    while (::waitpid(worker, &status, 0) < 0) {
      if (errno != EINTR) return 1;
    }
    if (first && WIFEXITED(status) && WEXITSTATUS(status) == kExitCannotStart) {
      return std::nullopt;  // the program cannot start itself here: the watch runs in this process
    }
    first = false;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != kExitHandOver) return endedLike(status);
    if (std::chrono::steady_clock::now() - started < kSteadyWorker) std::this_thread::sleep_for(kSteadyWorker);
  }
}

}  // namespace shotsieve
