#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "output/standard_output.h"

int main(int argc, char** argv) {
  if (!shotsieve::openStandardDescriptors()) {  // nobody could read the answer: do nothing
    shotsieve::reportOutputFailure(EBADF);
    return shotsieve::kExitOutputFailed;
  }
  // The arguments' bytes as given: an export directory is used by the name it has.
  const std::vector<std::string> args(argv, argv + argc);
  const int status = shotsieve::runCommandLine(args, shotsieve::sharedPhotoLibrary());
  std::exit(shotsieve::statusAfterAnswer(status));
}
