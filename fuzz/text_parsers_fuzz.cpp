// The parsers of texts that come from files and names: the user-dirs file,
// the access-state file, capture dates, screenshot names and their dates.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_file.h"
#include "output/utf8.h"
#include "photos/folder/access_state.h"
#include "photos/folder/library_location.h"
#include "photos/folder/metadata/date_text.h"
#include "photos/folder/scan/screenshot_names.h"

using namespace shotsieve::folder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string root = picturesDirFromUserDirs(text, "/home/u");
  if (!root.empty() && root.front() != '/') std::abort();  // only absolute folders, never a command
  const std::string& path = shotsieve::fuzzing::scratchPath(".state");
  shotsieve::fuzzing::writeScratch(path, data, size);
  readAccessState(path);  // any number stands as it is: outside the table it reads as "unknown"
  parseDateText(text);
  parseDateText(text.substr(0, size / 2), text.substr(size / 2));
  isScreenshotFolderName(text);
  isScreenshotSoftware(text);
  if (dateFromScreenshotFileName(text) && !isScreenshotFileName(text)) std::abort();
  return 0;
}
