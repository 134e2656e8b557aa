#include <cstdlib>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "output/utf8.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(shotsieve::decodeUtf8Lossy(argv[i]));
  // exit() flushes the buffered standard output on every way out.
  std::exit(shotsieve::runCommandLine(args, shotsieve::sharedPhotoLibrary()));
}
