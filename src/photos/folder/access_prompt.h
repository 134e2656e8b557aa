#pragma once

#include <string_view>

namespace shotsieve::folder {

enum class PromptAnswer {
  yes,
  no,
  noAnswer,    // end of input, a terminal that went away, or words that are neither
  noTerminal,  // no controlling terminal, or the process is not in its foreground
  noDesktop,   // no session bus, or no notification service on it that offers actions
};

// Shows the usage text and a yes/no question on the controlling terminal and
// reads the answer: "y" or "yes" is yes; "n", "no" or an empty line (the
// default the question shows) is no, in any case. Asks only a process in the
// terminal's foreground process group, and is never stopped by the terminal:
// the calling thread blocks SIGTTIN and SIGTTOU while it asks, so a process
// sent to the background meanwhile reads end of input instead.
PromptAnswer askOnTerminal(std::string_view usageText);

// The answer a line of input gives.
PromptAnswer promptAnswerOfLine(std::string_view line);

}  // namespace shotsieve::folder
