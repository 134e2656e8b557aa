#include "photos/folder/scan/screenshot_names.h"

#include <array>
#include <ctime>
#include <string>
#include <vector>

#include "output/text_case.h"

namespace shotsieve::folder {

namespace {

// Folder names, lower case.
constexpr std::string_view kScreenshotFolders[] = {
    std::string_view{"screenshots"},      "screenshot",           "screen shots",
    "bildschirmfotos",                    "captures d’écran",     "captures d'écran",
    "capturas de pantalla",               "capturas de ecrã",     "capturas de tela",
    "снимки экрана",                      "знімки екрана",        "schermafbeeldingen",
    "schermate",                          "skärmbilder",          "skjermbilder",
    "skærmbilleder",                      "kuvakaappaukset",      "zrzuty ekranu",
    "snímky obrazovky",                   "képernyőképek",        "ekran görüntüleri",
    "στιγμιότυπα οθόνης",                 "スクリーンショット",   "屏幕截图",
    "螢幕截圖",                           "截图",                 "스크린샷",
};

// File-name prefixes, lower case: GNOME, KDE, Android, macOS, Xfce and their
// localised forms.
constexpr std::string_view kScreenshotPrefixes[] = {
    std::string_view{"screenshot"}, "screen shot",        "bildschirmfoto",      "capture d’écran",
    "capture d'écran",              "captura de pantalla", "captura de tela",    "снимок экрана",
    "знімок екрана",                "schermafbeelding",    "schermata",          "skärmbild",
    "skjermbilde",                  "skærmbillede",        "näyttökuva",         "kuvakaappaus",
    "zrzut ekranu",                 "snímek obrazovky",    "képernyőkép",        "ekran görüntüsü",
    "στιγμιότυπο οθόνης",           "スクリーンショット",  "屏幕截图",           "截屏",
    "螢幕截圖",                     "스크린샷",
};

// Endings of the stem (name without extension): grim, scrot, flameshot.
constexpr std::string_view kScreenshotStemSuffixes[] = {std::string_view{"_grim"}, "_scrot"};

// Software texts, lower case, matched anywhere in the text.
constexpr std::string_view kScreenshotSoftware[] = {
    std::string_view{"gnome-screenshot"}, "screenshot", "spectacle", "ksnapshot", "flameshot",
    "xfce4-screenshooter", "shutter", "ksnip",
};

std::string_view stemOf(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

struct DigitRun {
  std::size_t begin;
  std::string digits;
};

std::vector<DigitRun> digitRuns(std::string_view name) {
  std::vector<DigitRun> runs;
  for (std::size_t i = 0; i < name.size();) {
    if (name[i] < '0' || name[i] > '9') {
      ++i;
      continue;
    }
    DigitRun run{i, {}};
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') run.digits += name[i++];
    runs.push_back(std::move(run));
  }
  return runs;
}

int number(std::string_view digits) {
  int value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  return value;
}

// Reads Y M D from runs[i...] as one 8-digit run or as runs of 4, 2 and 2.
std::optional<std::array<int, 3>> readDate(const std::vector<DigitRun>& runs, std::size_t& i) {
  if (i < runs.size() && runs[i].digits.size() == 8) {
    const auto& d = runs[i++].digits;
    return std::array{number(d.substr(0, 4)), number(d.substr(4, 2)), number(d.substr(6, 2))};
  }
  if (i + 2 < runs.size() && runs[i].digits.size() == 4 && runs[i + 1].digits.size() == 2 &&
      runs[i + 2].digits.size() == 2) {
    std::array date{number(runs[i].digits), number(runs[i + 1].digits), number(runs[i + 2].digits)};
    i += 3;
    return date;
  }
  return std::nullopt;
}

// Reads H M S as one 6-digit run or as runs of 1-2, 2 and 2.
std::optional<std::array<int, 3>> readTime(const std::vector<DigitRun>& runs, std::size_t& i) {
  if (i < runs.size() && runs[i].digits.size() == 6) {
    const auto& d = runs[i++].digits;
    return std::array{number(d.substr(0, 2)), number(d.substr(2, 2)), number(d.substr(4, 2))};
  }
  if (i + 2 < runs.size() && runs[i].digits.size() <= 2 && runs[i + 1].digits.size() == 2 &&
      runs[i + 2].digits.size() == 2) {
    std::array time{number(runs[i].digits), number(runs[i + 1].digits), number(runs[i + 2].digits)};
    i += 3;
    return time;
  }
  return std::nullopt;
}

}  // namespace

bool isScreenshotFolderName(std::string_view folderName) {
  const std::string lower = lowercaseFull(folderName);
  for (const auto name : kScreenshotFolders) {
    if (lower == name) return true;
  }
  return false;
}

bool isScreenshotFileName(std::string_view fileName) {
  const std::string lower = lowercaseFull(fileName);
  for (const auto prefix : kScreenshotPrefixes) {
    if (startsWith(lower, prefix)) return true;
  }
  const std::string_view stem = stemOf(lower);
  for (const auto suffix : kScreenshotStemSuffixes) {
    if (endsWith(stem, suffix)) return true;
  }
  return false;
}

bool isScreenshotSoftware(std::string_view software) {
  const std::string lower = lowercaseFull(software);
  for (const auto name : kScreenshotSoftware) {
    if (lower.find(name) != std::string::npos) return true;
  }
  return false;
}

std::optional<double> dateFromScreenshotFileName(std::string_view fileName) {
  if (!isScreenshotFileName(fileName)) return std::nullopt;
  const std::string_view stem = stemOf(fileName);
  const auto runs = digitRuns(stem);
  for (std::size_t start = 0; start < runs.size(); ++start) {
    std::size_t i = start;
    const auto date = readDate(runs, i);
    if (!date) continue;
    const auto time = readTime(runs, i);
    if (!time) continue;
    auto [year, month, day] = *date;
    auto [hour, minute, second] = *time;
    // macOS writes "2.07.09 PM" in twelve-hour locales.
    const std::size_t afterTime = runs[i - 1].begin + runs[i - 1].digits.size();
    const std::string rest = lowercaseFull(stem.substr(afterTime, 6));
    if (hour <= 12 && (startsWith(rest, " pm") || startsWith(rest, "\u202fpm"))) hour = hour % 12 + 12;
    if (hour <= 12 && (startsWith(rest, " am") || startsWith(rest, "\u202fam"))) hour = hour % 12;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
      continue;
    }
    std::tm local{};
    local.tm_year = year - 1900, local.tm_mon = month - 1, local.tm_mday = day;
    local.tm_hour = hour, local.tm_min = minute, local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t instant = std::mktime(&local);
    if (instant == static_cast<std::time_t>(-1)) continue;
    return static_cast<double>(instant);
  }
  return std::nullopt;
}

}  // namespace shotsieve::folder
