#include "watch/watch_handover.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "watch/observer.h"

namespace shotsieve {
namespace {

// Each worker ends its process, so each runs in a child of its own, as the
// supervisor runs them, on one shared file.
// A worker that does not start hands over before its baseline is taken.
int runWorker(int fd, const FetchResult& baseline, const std::string& news, bool expectResumed, bool carried,
              bool starts = true) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv(kWatchWorkerVariable, std::to_string(fd).c_str(), 1);
    const auto handOver = WatchHandOver::ofThisProcess();
    if (!handOver || handOver->resumed() != expectResumed) std::_Exit(1);
    if (!starts) handOver->handOver();
    handOver->start(baseline, [] {});
    if (handOver->toldBefore(baseline.assets.front().localIdentifier) != carried) std::_Exit(2);
    if (handOver->reported(baseline.assets.back().localIdentifier) == carried) std::_Exit(3);
    if (!handOver->reported(news)) std::_Exit(4);
    handOver->handOver();
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(WatchHandOver, EachHandOverCarriesOneBaselinePlusWhatWasReported) {
  FetchResult baseline;
  for (int i = 0; i < 10000; ++i) baseline.assets.push_back(Asset{"SHOT-" + std::to_string(i) + "/L0/001"});
  const int fd = ::memfd_create("hand-over", 0);
  ASSERT_GE(fd, 0);
  const std::size_t header = std::string("shotsieve watch hand-over 2\n").size();
  const std::size_t line = 33;  // 128 bits in hex and a newline
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(runWorker(fd, baseline, "NEW-" + std::to_string(round), round > 0, round > 0), kExitHandOver) << round;
    struct stat info;
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_EQ(static_cast<std::size_t>(info.st_size), header + line * (baseline.assets.size() + round + 1)) << round;
  }
  // A worker handing over before its baseline passes on all it was handed.
  ASSERT_EQ(runWorker(fd, baseline, "", true, true, false), kExitHandOver);
  ASSERT_EQ(runWorker(fd, baseline, "AFTER-EARLY", true, true), kExitHandOver);
  // A file past what a worker reads, or torn, is still a resumed watch: no second start line.
  ASSERT_EQ(::ftruncate(fd, 0), 0);
  ASSERT_EQ(::pwrite(fd, "torn", 4, 0), 4);
  EXPECT_EQ(runWorker(fd, baseline, "AFTER-TORN", true, false), kExitHandOver);
  ::close(fd);
}

// A worker that took over reports what is new in the library it moved to,
// oldest first, and nothing the reader was told of before.
TEST(WatchHandOver, ANewWorkerReportsItsBaselinesNewsOldestFirst) {
  const auto shot = [](const char* id, double created) { return Asset{std::string(id) + "/L0/001", created}; };
  FetchResult before, after;
  before.assets = {shot("KNOWN", 1e9)};
  after.assets = {shot("NEWEST", 3e9), shot("KNOWN", 1e9), shot("NEWER", 2e9)};  // as a fetch may give them
  const int fd = ::memfd_create("hand-over", 0), out = ::memfd_create("lines", 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(runWorker(fd, before, "OTHER", false, false), kExitHandOver);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv(kWatchWorkerVariable, std::to_string(fd).c_str(), 1);
    ::dup2(out, STDOUT_FILENO);
    const auto handOver = WatchHandOver::ofThisProcess();
    handOver->start(after, [] {});
    Observer(after, handOver.get()).reportBaselineNews();
    std::fflush(stdout);
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string lines(4096, '\0');
  lines.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(out, lines.data(), lines.size(), 0))));
  const auto newer = lines.find("\"uuid\":\"NEWER\""), newest = lines.find("\"uuid\":\"NEWEST\"");
  EXPECT_NE(newer, std::string::npos) << lines;
  EXPECT_LT(newer, newest) << lines;
  EXPECT_EQ(lines.find("KNOWN"), std::string::npos) << lines;
  ::close(fd);
  ::close(out);
}

}  // namespace
}  // namespace shotsieve
