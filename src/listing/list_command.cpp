#include "listing/list_command.h"

#include "listing/list_json.h"
#include "output/print.h"

namespace shotsieve {

int cmdList(PhotoLibrary& library, std::int64_t days, const std::string& exportDir) {
  const ListStreamed streamed = streamListJSON(library, days, exportDir, stdout);
  switch (streamed.outcome) {
    case ListStreamOutcome::listed: return 0;
    case ListStreamOutcome::notAuthorized: return kExitNotAuthorized;
    case ListStreamOutcome::failed: break;
  }
  eprint("shotsieve: cannot list the screenshots: " + streamed.failure);
  return kExitInternalFailure;
}

}  // namespace shotsieve
