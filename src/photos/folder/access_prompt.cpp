#include "photos/folder/access_prompt.h"

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <string>

#include "photos/folder/private_files.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

// Blocks the terminal's stop signals in this thread for its lifetime: a
// background read then fails with EIO, and a write goes through, instead of
// the whole process being stopped (in a host application, every thread of it).
class TerminalStopsBlocked {
 public:
  TerminalStopsBlocked() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTTIN);
    sigaddset(&stops, SIGTTOU);
    ::pthread_sigmask(SIG_BLOCK, &stops, &saved_);
  }
  ~TerminalStopsBlocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  TerminalStopsBlocked(const TerminalStopsBlocked&) = delete;
  TerminalStopsBlocked& operator=(const TerminalStopsBlocked&) = delete;

 private:
  sigset_t saved_;
};

// One line from the terminal; nothing at end of input or when the terminal fails.
std::optional<std::string> readLine(int tty) {
  std::string line;
  char c;
  while (line.size() < 256) {
    const ssize_t got = ::read(tty, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

}  // namespace

PromptAnswer promptAnswerOfLine(std::string_view line) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!line.empty() && isSpace(line.front())) line.remove_prefix(1);
  while (!line.empty() && isSpace(line.back())) line.remove_suffix(1);
  const auto is = [&](const char* word) {
    return line.size() == std::char_traits<char>::length(word) && ::strncasecmp(line.data(), word, line.size()) == 0;
  };
  if (is("y") || is("yes")) return PromptAnswer::yes;
  if (line.empty() || is("n") || is("no")) return PromptAnswer::no;
  return PromptAnswer::noAnswer;
}

PromptAnswer askOnTerminal(std::string_view usageText) {
  const TerminalStopsBlocked blocked;
  const UniqueFd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!tty) return PromptAnswer::noTerminal;
  // A background job must not take the terminal from the one in front.
  if (::tcgetpgrp(tty.get()) != ::getpgrp()) return PromptAnswer::noTerminal;
  std::string question(usageText);
  question += "\nAllow shotsieve to read the screenshots in your Pictures folder? [y/N] ";
  if (!writeAll(tty.get(), question)) return PromptAnswer::noAnswer;
  const auto line = readLine(tty.get());
  if (!line) {
    writeAll(tty.get(), "\n");  // end the question's line; failure is harmless
    return PromptAnswer::noAnswer;
  }
  return promptAnswerOfLine(*line);
}

}  // namespace shotsieve::folder
