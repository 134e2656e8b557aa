#include "photos/folder/metadata/index_record.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace shotsieve::folder {

namespace {

constexpr std::size_t kWords = 10;
constexpr std::size_t kFlagsAt = kWords * 8 + 16;

// 0001-01-01 and 9999-12-31T23:59:59Z: what a date text can say.
constexpr double kEarliestCapture = -62135596800.0;
constexpr double kLatestCapture = 253402300799.0;

std::uint32_t checksumOf(const char* record) {
  return static_cast<std::uint32_t>(
      ::crc32(0L, reinterpret_cast<const Bytef*>(record), static_cast<uInt>(kUncheckedRecordSize)));
}

// The largest width or height each format can store.
std::int64_t largestSide(FileFormat format) {
  switch (format) {
    case FileFormat::jpeg:
    case FileFormat::gif: return 65535;
    case FileFormat::webp: return 16384;
    case FileFormat::unknown:
    case FileFormat::video: return 0;  // nothing is read of their pixels
    default: return INT32_MAX;
  }
}

// Not 0 for a fingerprinted file, whose time when first seen it carries.
std::uint64_t fingerprintWord(const IndexEntry& entry) {
  if (!entry.stamp.fingerprinted) return 0;
  return static_cast<std::uint64_t>(std::max<std::int64_t>(entry.fileTime, 1));
}

std::optional<IndexEntry> decodeWords(const char* in) {
  std::uint64_t words[kWords];
  std::memcpy(words, in, sizeof words);
  IndexEntry entry;
  entry.pathHash = words[0];
  entry.stamp = FileStamp{words[1], static_cast<std::int64_t>(words[2]), words[3], static_cast<std::int64_t>(words[4]),
                          static_cast<std::int64_t>(words[5]), words[9] != 0};
  entry.fileTime = static_cast<std::int64_t>(words[9]);
  const auto format = static_cast<std::uint8_t>(in[kFlagsAt + 1]);
  if (format > static_cast<std::uint8_t>(FileFormat::video)) return std::nullopt;  // read again by this build
  entry.format = static_cast<FileFormat>(format);
  const auto width = static_cast<std::int64_t>(words[6]), height = static_cast<std::int64_t>(words[7]);
  if (width < 0 || height < 0 || width > largestSide(entry.format) || height > largestSide(entry.format)) {
    return std::nullopt;
  }
  entry.width = static_cast<std::int32_t>(width);
  entry.height = static_cast<std::int32_t>(height);
  entry.capture = std::bit_cast<double>(words[8]);
  std::memcpy(entry.uuid.data(), in + kWords * 8, entry.uuid.size());
  entry.flags = static_cast<std::uint8_t>(in[kFlagsAt]);
  // A capture time that is no number would pass every window test and break
  // the order of a listing; one outside the writable years is no date.
  if ((entry.flags & IndexEntry::kHasCapture) &&
      !(std::isfinite(entry.capture) && entry.capture >= kEarliestCapture && entry.capture <= kLatestCapture)) {
    return std::nullopt;
  }
  return entry;
}

}  // namespace

void encodeIndexRecord(const IndexEntry& entry, char* out) {
  const std::uint64_t words[kWords] = {entry.pathHash,
                                       entry.stamp.size,
                                       static_cast<std::uint64_t>(entry.stamp.modifiedNanoseconds),
                                       entry.stamp.inode,
                                       static_cast<std::uint64_t>(entry.stamp.changedNanoseconds),
                                       static_cast<std::uint64_t>(entry.stamp.birthNanoseconds),
                                       static_cast<std::uint64_t>(std::int64_t{entry.width}),
                                       static_cast<std::uint64_t>(std::int64_t{entry.height}),
                                       std::bit_cast<std::uint64_t>(entry.capture),
                                       fingerprintWord(entry)};
  std::memcpy(out, words, sizeof words);
  std::memcpy(out + sizeof words, entry.uuid.data(), entry.uuid.size());
  out[kFlagsAt] = static_cast<char>(entry.flags);
  out[kFlagsAt + 1] = static_cast<char>(entry.format);
  const std::uint32_t checksum = checksumOf(out);
  std::memcpy(out + kUncheckedRecordSize, &checksum, sizeof checksum);
}

std::optional<IndexEntry> decodeIndexRecord(const char* in) {
  std::uint32_t checksum;
  std::memcpy(&checksum, in + kUncheckedRecordSize, sizeof checksum);
  if (checksum != checksumOf(in)) return std::nullopt;  // damaged: the file is read again
  return decodeWords(in);
}

std::optional<IndexEntry> decodeUncheckedIndexRecord(const char* in) { return decodeWords(in); }

}  // namespace shotsieve::folder
