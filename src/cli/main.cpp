#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/confinement.h"
#include "cli/dispatch.h"
#include "cli/watch_supervisor.h"
#include "output/answer.h"
#include "output/print.h"
#include "output/standard_output.h"
#include "photos/authorization.h"
#include "photos/confinement.h"
#include "watch/watch_handover.h"

int main(int argc, char** argv) {
  if (!shotsieve::openStandardDescriptors()) {  // nobody could read the answer: do nothing
    shotsieve::reportOutputFailure(EBADF);
    return shotsieve::kExitOutputFailed;
  }
  // A copy or index past the file-size limit fails with EFBIG, as on a full
  // disk (that copy missing, the rest listed), instead of ending the process
  // with no answer and a half-written file.
  std::signal(SIGXFSZ, SIG_IGN);
  // The arguments' bytes as given: an export directory is used by the name it has.
  const std::vector<std::string> args(argv, argv + argc);
  // The program, unlike a host of the library, confines itself before it reads an image.
  shotsieve::setProcessConfinement({shotsieve::confineProcess});
  shotsieve::setRequestNotice([](const std::string& line) { shotsieve::eprint(line); });
  try {
    if (args.size() == 2 && args[1] == "watch" && std::getenv(shotsieve::kWatchWorkerVariable) == nullptr) {
      if (const auto status = shotsieve::superviseWatch(args)) std::exit(*status);
    }
    const int status = shotsieve::runCommandLine(args, shotsieve::sharedPhotoLibrary());
    std::exit(shotsieve::statusAfterAnswer(status));
  } catch (const std::exception& error) {  // the last catch: a reason and a status, never an abort
    shotsieve::eprint(std::string("shotsieve: internal error: ") + error.what());
  } catch (...) {
    shotsieve::eprint("shotsieve: internal error");
  }
  std::_Exit(shotsieve::kExitInternalFailure);
}
