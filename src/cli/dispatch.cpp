#include "cli/dispatch.h"

#include <malloc.h>

#include <array>
#include <limits>
#include <string_view>

#include "cli/day_count.h"
#include "listing/list_command.h"
#include "listing/today_command.h"
#include "output/print.h"
#include "output/utf8.h"
#include "photos/authorization.h"
#include "watch/watch_command.h"

namespace shotsieve {

namespace {

constexpr std::string_view kUsage =
    "usage: shotsieve {auth-status | request-auth | list <days> <exportDir> | list-today | watch}";
constexpr std::string_view kListUsage = "usage: shotsieve list <days> <exportDir>";

struct Subcommand {
  std::string_view word;
  int (*handler)(PhotoLibrary&);
};

// A first listing reads thousands of files on several threads, each freeing
// what it read: the memory is kept for the next file rather than handed back
// to the system and faulted in again, which took a fifth of its time. Only
// the program's own listings: a host's process keeps its own settings, and a
// watch hands its memory back after each save.
void keepFreedMemory() {
#ifdef __GLIBC__
  ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

int runListToday(PhotoLibrary& library) {
  keepFreedMemory();
  return cmdListToday(library);
}

// "list" takes arguments and is handled on its own.
constexpr std::array kSubcommands{
    Subcommand{"auth-status", cmdAuthStatus},
    Subcommand{"request-auth", cmdRequestAuth},
    Subcommand{"list-today", runListToday},
    Subcommand{"watch", cmdWatch},
};

int runList(const std::vector<std::string>& args, PhotoLibrary& library) {
  const auto days = args.size() >= 4 ? parseDayCount(args[2]) : std::nullopt;
  // The two smallest counts have no window: 1 - days does not fit in 64 bits.
  if (!days || *days < std::numeric_limits<std::int64_t>::min() + 2) {
    eprint(kListUsage);
    return kExitUsage;
  }
  keepFreedMemory();
  return cmdList(library, *days, args[3]);
}

}  // namespace

int runCommandLine(const std::vector<std::string>& args, PhotoLibrary& library) {
  if (args.size() < 2) {
    eprint(kUsage);
    return kExitUsage;
  }
  const std::string& word = args[1];
  if (word == "list") return runList(args, library);
  for (const auto& subcommand : kSubcommands) {
    if (word == subcommand.word) return subcommand.handler(library);
  }
  eprint("unknown subcommand: " + decodeUtf8Lossy(word));
  return kExitUsage;
}

}  // namespace shotsieve
