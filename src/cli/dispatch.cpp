#include "cli/dispatch.h"

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

// "list" takes arguments and is handled on its own.
constexpr std::array kSubcommands{
    Subcommand{"auth-status", cmdAuthStatus},
    Subcommand{"request-auth", cmdRequestAuth},
    Subcommand{"list-today", cmdListToday},
    Subcommand{"watch", cmdWatch},
};

int runList(const std::vector<std::string>& args, PhotoLibrary& library) {
  const auto days = args.size() >= 4 ? parseDayCount(args[2]) : std::nullopt;
  // The two smallest counts have no window: 1 - days does not fit in 64 bits.
  if (!days || *days < std::numeric_limits<std::int64_t>::min() + 2) {
    eprint(kListUsage);
    return kExitUsage;
  }
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
