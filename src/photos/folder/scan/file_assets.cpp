#include "photos/folder/scan/file_assets.h"

#include <algorithm>

#include "photos/folder/metadata/image_wholeness.h"
#include "photos/folder/scan/asset_identity.h"
#include "photos/folder/scan/screenshot_names.h"

namespace shotsieve::folder {

namespace {

std::string_view lastComponent(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

double creationDateOf(const LibraryFile& file, std::optional<double> captureDate, std::int64_t fileNanoseconds) {
  if (captureDate) return *captureDate;
  if (file.screenshotName) {  // only a screenshot tool's name carries a date
    if (const auto named = dateFromScreenshotFileName(lastComponent(file.relativePath))) return *named;
  }
  return static_cast<double>(fileNanoseconds) / 1e9;
}

std::optional<Asset> assetOfFacts(const LibraryFile& file, const FileStatus& status, const ImageFacts& facts,
                                  MetadataIndex& index, const FetchOptions* select) {
  if (mediaTypeOfFormat(facts.format) != file.mediaType) return std::nullopt;
  Asset asset;
  asset.mediaType = file.mediaType;
  // A copy that kept its old modification time still gets a new birth time.
  std::int64_t fileNanoseconds = std::min(status.birthNanoseconds, status.modifiedNanoseconds);
  if (status.stamp.fingerprinted) {
    fileNanoseconds = index.keptFileTime(file.relativePath, status.stamp).value_or(fileNanoseconds);
  }
  asset.creationDate = creationDateOf(file, facts.captureDate, fileNanoseconds);
  if (file.mediaType == kImageMediaType &&
      (file.inScreenshotFolder || facts.markedScreenshot || file.screenshotName)) {
    asset.mediaSubtypes |= kScreenshotSubtype;
  }
  if (select != nullptr && !fetchOptionsSelect(*select, asset)) return std::nullopt;
  const Uuid uuid = index.identifierOf(file.relativePath, status.stamp, [&](int attempt) {
    return firstSeenUuid(file.relativePath, status.birthNanoseconds, attempt);
  });
  asset.localIdentifier = localIdentifierOf(uuid);
  asset.pixelWidth = facts.width;
  asset.pixelHeight = facts.height;
  asset.isFavorite = facts.favorite;
  asset.modificationDate = static_cast<double>(status.modifiedNanoseconds) / 1e9;
  asset.locator = file.absolutePath;
  return asset;
}

std::optional<ImageFacts> readFactsOf(const LibraryFile& file, const FileStatus& status, Need need, ReadDepth depth) {
  UniqueFd content = openContent(file);
  if (!content) return std::nullopt;
  return readImageFacts(std::move(content), status.stamp.size, depth, need);
}

Need needOf(const LibraryFile& file, const FetchOptions& options) {
  const bool onlyScreenshots = options.subtypeMask == kScreenshotSubtype && options.mediaType == kImageMediaType;
  if (!onlyScreenshots) return Need::everything;
  return file.inScreenshotFolder || file.screenshotName ? Need::allButMarks : Need::screenshotMarks;
}

FileLook lookAtFile(const LibraryFile& file, const FileStatus& status, MetadataIndex& index, int content) {
  FileLook look;
  const bool image = file.mediaType == kImageMediaType;
  if (auto known = index.find(file.relativePath, status.stamp)) {
    look.facts = *known;
    look.whole = image && content >= 0 && imageFileLooksWhole(content, status.stamp.size);
  } else {
    if (content < 0) return look;
    ImageLook read = lookAtImage(content, status.stamp.size);
    look.facts = read.facts;
    look.whole = image && read.whole;
    index.store(file.relativePath, status.stamp, look.facts);
  }
  look.asset = assetOfFacts(file, status, look.facts, index);
  return look;
}

}  // namespace shotsieve::folder
