#include "output/print.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "output/standard_output.h"

namespace shotsieve {

void printJSON(const JsonValue& value) { printJSONText(jsonEncode(value)); }

void printJSONText(std::string_view jsonText) {
  // Locked as one line, so lines written from two threads never interleave;
  // the text is not copied, as a long listing can run to tens of megabytes.
  // The calls inside take the (recursive) lock again: the *_unlocked forms
  // are inline and touch the stream where a thread checker sees it unlocked.
  ::flockfile(stdout);
  if (writeToStream(stdout, jsonText)) writeToStream(stdout, "\n");
  ::funlockfile(stdout);
}

void eprint(std::string_view message) {
  std::string line(message);
  line += '\n';
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a closed standard error has nobody to tell
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace shotsieve
