#pragma once

#include <optional>
#include <string_view>

namespace shotsieve::folder {

// The tables of names that mark a screenshot live in screenshot_names.cpp.

// A folder named Screenshots or one of its localised names (any case).
bool isScreenshotFolderName(std::string_view folderName);

// A file name that a known screenshot tool produces.
bool isScreenshotFileName(std::string_view fileName);

// A PNG "Software" text that names a screenshot tool.
bool isScreenshotSoftware(std::string_view software);

// The local date and time written in a screenshot file name, as seconds since
// the epoch, when the name follows a known tool's pattern and carries one.
std::optional<double> dateFromScreenshotFileName(std::string_view fileName);

}  // namespace shotsieve::folder
