#include "photos/folder/scan/known_selection.h"

#include <algorithm>

#include "photos/folder/scan/file_assets.h"
#include "photos/folder/scan/file_status.h"

namespace shotsieve::folder {

FilesOutlook outlookOf(const IndexEntry& entry, const LibraryFile& file) {
  const FileStamp& stamp = entry.stamp;
  const std::int64_t born = stamp.birthNanoseconds != 0 ? stamp.birthNanoseconds : stamp.modifiedNanoseconds;
  // What the date prefilter goes by: both file times lie more than the margin before the window.
  double latest = static_cast<double>(std::max(born, stamp.modifiedNanoseconds) + kFileTimeMarginNanoseconds) / 1e9;
  const bool captureRead = !(entry.flags & (IndexEntry::kNoFacts | IndexEntry::kMarksOnly));
  const bool marksRead = !(entry.flags & (IndexEntry::kNoFacts | IndexEntry::kMarksUnread));
  if (captureRead) {
    std::int64_t fileTime = std::min(born, stamp.modifiedNanoseconds);
    if (stamp.fingerprinted && entry.fileTime != 0) fileTime = entry.fileTime;
    const auto capture = entry.flags & IndexEntry::kHasCapture ? std::optional<double>(entry.capture) : std::nullopt;
    latest = std::min(latest, creationDateOf(file, capture, fileTime));
  }
  const bool screenshot = file.inScreenshotFolder || file.screenshotName || !marksRead || (entry.flags & IndexEntry::kMarked);
  return FilesOutlook{latest, screenshot};
}

bool outlookRulesOut(const FilesOutlook& outlook, const FetchOptions& options) {
  // Screenshots are the only subtype a file of the library has.
  if (options.subtypeMask != 0 && !(outlook.mayHoldScreenshots && (options.subtypeMask & kScreenshotSubtype))) return true;
  return options.earliestCreationDate && outlook.latest < *options.earliestCreationDate;
}

namespace {

std::string folderOf(std::string_view relativePath) {
  const auto slash = relativePath.rfind('/');
  return std::string(slash == std::string_view::npos ? std::string_view() : relativePath.substr(0, slash));
}

void widen(std::optional<FilesOutlook>& into, const FilesOutlook& outlook) {
  if (into) {
    into->widen(outlook);
  } else {
    into = outlook;
  }
}

}  // namespace

void FolderOutlooks::add(const std::string& relativePath, const FilesOutlook& outlook) {
  widen(byFolder_[folderOf(relativePath)].outlook, outlook);
}

void FolderOutlooks::unknown(const std::string& relativePath) { byFolder_[folderOf(relativePath)].someUnknown = true; }

void FolderOutlooks::addAll(const FolderOutlooks& other) {
  for (const auto& [folder, part] : other.byFolder_) {
    auto& mine = byFolder_[folder];
    mine.someUnknown = mine.someUnknown || part.someUnknown;
    if (part.outlook) widen(mine.outlook, *part.outlook);
  }
}

void FolderOutlooks::keepIn(FolderMemory& memory, int mediaType) const {
  for (const auto& [folder, part] : byFolder_) {
    if (part.outlook && !part.someUnknown) memory.setOutlook(folder, mediaType, *part.outlook);
  }
}

}  // namespace shotsieve::folder
