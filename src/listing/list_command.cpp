#include "listing/list_command.h"

#include "listing/list_json.h"
#include "output/print.h"

namespace shotsieve {

int cmdList(PhotoLibrary& library, std::int64_t days, const std::string& exportDir) {
  const ListStreamOutcome outcome = streamListJSON(library, days, exportDir, stdout);
  return outcome == ListStreamOutcome::notAuthorized ? kExitNotAuthorized : 0;
}

}  // namespace shotsieve
