#include "export/export_names.h"

#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <random>

#include "output/text_case.h"
#include "output/utf8.h"

namespace shotsieve {

namespace {

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// 8-4-4-4-12 upper-case hexadecimal digits.
bool isUpperCaseUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !isUpperHex(text[i])) return false;
  }
  return true;
}

bool isDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The writer's process id in the unique part temporaryExportName puts before
// ".part" (PID-COUNT-HEX8), or nothing for any other text.
std::optional<long> writerOfPart(std::string_view text) {
  const auto first = text.find('-');
  if (first == std::string_view::npos) return std::nullopt;
  const auto second = text.find('-', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const std::string_view hex = text.substr(second + 1);
  if (!isDigits(text.substr(0, first)) || !isDigits(text.substr(first + 1, second - first - 1)) || hex.size() != 8 ||
      hex.find_first_not_of("0123456789abcdef") != std::string_view::npos) {
    return std::nullopt;
  }
  long pid = 0;
  if (std::from_chars(text.data(), text.data() + first, pid).ec != std::errc()) return std::nullopt;
  return pid;
}

bool isExportExtension(std::string_view extension) {
  return !extension.empty() && extension.find_first_of("./") == std::string_view::npos && isValidUtf8(extension) &&
         lowercaseFull(extension) == extension;
}

}  // namespace

std::string exportExtension(std::string_view originalFilename) {
  const auto slash = originalFilename.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? originalFilename : originalFilename.substr(slash + 1);
  const auto dot = name.rfind('.');
  const std::string extension = dot == std::string_view::npos ? std::string() : lowercaseFull(name.substr(dot + 1));
  return extension.empty() ? "png" : extension;
}

std::string temporaryExportName(std::string_view name) {
  static std::atomic<unsigned> counter{0};
  // A fresh draw per name: no per-thread state in a library that hosts load
  // with dlopen, where thread-local storage is allocated behind the loader's back.
  char unique[64];
  std::snprintf(unique, sizeof unique, ".%d-%u-%08x.part", static_cast<int>(::getpid()), counter++,
                static_cast<unsigned>(std::random_device{}()));
  return std::string(name) + unique;
}

bool isExportEntryName(std::string_view name) {
  if (name.size() < 38 || !isUpperCaseUuid(name.substr(0, 36)) || name[36] != '.') return false;
  std::string_view rest = name.substr(37);
  if (rest.ends_with(".part")) {
    rest.remove_suffix(5);
    if (const auto dot = rest.find('.'); dot != std::string_view::npos) {
      if (!writerOfPart(rest.substr(dot + 1))) return false;
      rest = rest.substr(0, dot);
    }
  }
  return isExportExtension(rest);
}

std::optional<long> writerOfExportPart(std::string_view name) {
  if (!isExportEntryName(name) || !name.ends_with(".part")) return std::nullopt;
  name.remove_suffix(5);
  const auto dot = name.rfind('.');
  if (dot < 37) return std::nullopt;  // the extension's own dot: an old name without a writer
  return writerOfPart(name.substr(dot + 1));
}

}  // namespace shotsieve
