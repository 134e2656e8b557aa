#include "listing/list_command.h"

#include "listing/list_json.h"
#include "output/print.h"

namespace shotsieve {

int cmdList(PhotoLibrary& library, std::int64_t days, const std::string& exportDir) {
  const std::string text = listJSON(library, days, exportDir);
  printJSONText(text);
  return text.find(R"("error":"not-authorized")") != std::string::npos ? kExitNotAuthorized : 0;
}

}  // namespace shotsieve
