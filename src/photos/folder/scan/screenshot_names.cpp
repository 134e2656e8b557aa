#include "photos/folder/scan/screenshot_names.h"

#include <strings.h>

#include <array>
#include <ctime>
#include <string>
#include <vector>

#include "output/local_time.h"
#include "output/text_case.h"

namespace shotsieve::folder {

namespace {

// Folder names, lower case: where desktop shells, phones, games and
// screenshot tools save, in the languages they ship.
constexpr std::string_view kScreenshotFolders[] = {
    // English, and Windows' Xbox Game Bar ("Videos/Captures", often synced into Pictures).
    std::string_view{"screenshots"}, "screenshot", "screen shots", "captures",
    // GNOME Shell's translated "Screenshots" and Android's vendor folders.
    "bildschirmfotos", "captures d’écran", "captures d'écran", "capturas de pantalla", "capturas de ecrã",
    "capturas de tela", "captures de pantalla", "capturi de ecran", "снимки экрана", "знімки екрана",
    "schermafbeeldingen", "schermafdrukken", "schermate", "skärmbilder", "skjermbilder", "skærmbilleder",
    "kuvakaappaukset", "zrzuty ekranu", "snímky obrazovky", "képernyőképek",
    "ekran görüntüleri", "στιγμιότυπα οθόνης", "tangkapan layar", "ảnh chụp màn hình", "צילומי מסך",
    "スクリーンショット", "屏幕截图", "螢幕截圖", "截图", "截圖", "스크린샷",
};

// File-name prefixes, lower case. GNOME ("Screenshot from ...", and every
// translation of it), KDE Spectacle and Xfce ("Screenshot_..."), Android,
// ChromeOS and Windows' Snipping Tool ("Screenshot ..."), macOS in each
// locale ("Screenshot ... at ...", the older "Screen Shot ...",
// "Bildschirmfoto ...", "Skärmavbild ...", "截屏...", ...), ksnip and Deepin.
constexpr std::string_view kScreenshotPrefixes[] = {
    std::string_view{"screenshot"}, "screen shot", "bildschirmfoto", "capture d’écran", "capture d'écran",
    "captura de pantalla", "captura de tela", "captura de ecrã", "captură de ecran", "снимок экрана",
    "знімок екрана", "schermafbeelding", "schermafdruk", "schermata", "skärmbild", "skärmavbild",
    "skjermbilde", "skærmbillede", "näyttökuva", "kuvakaappaus", "zrzut ekranu", "snímek obrazovky",
    "snímka obrazovky", "képernyőkép", "képernyőfotó", "ekran görüntüsü", "ekran resmi",
    "στιγμιότυπο οθόνης", "tangkapan layar", "ảnh chụp màn hình", "צילום מסך", "スクリーンショット",
    "屏幕截图", "屏幕快照", "截屏", "截图", "螢幕截圖", "螢幕快照", "截圖", "스크린샷", "ksnip_",
    "deepin screenshot", "deepin-screenshot",
};

// Longer than any prefix above in UTF-8, upper or lower case.
constexpr std::size_t kLongestPrefixBytes = 64;

// Endings of the stem (name without extension): grim, scrot.
constexpr std::string_view kScreenshotStemSuffixes[] = {std::string_view{"_grim"}, "_scrot"};

// Software texts, lower case, matched anywhere in the text.
constexpr std::string_view kScreenshotSoftware[] = {
    std::string_view{"gnome-screenshot"}, "screenshot", "spectacle", "ksnapshot", "flameshot",
    "xfce4-screenshooter", "shutter", "ksnip", "grim", "scrot", "maim",
};

// Words that stand beside a twelve-hour time: macOS writes "2.07.09 PM" in
// English, "오후 2.07.09" in Korean and "下午2.07.09" in Chinese.
constexpr std::string_view kAfternoonMarks[] = {std::string_view{"pm"}, "오후", "下午", "午後"};
constexpr std::string_view kMorningMarks[] = {std::string_view{"am"}, "오전", "上午", "午前"};

// Names made by tools whose names carry no word for "screenshot", matched on
// the whole stem: Steam's "20240305140709_1" and Flameshot's default
// "2024-03-05_14-07" (PNG only: it saves nothing else by default).
bool isSteamStem(std::string_view stem) {
  const auto underscore = stem.find('_');
  if (underscore != 14 || underscore + 1 >= stem.size()) return false;
  for (std::size_t i = 0; i < stem.size(); ++i) {
    if (i != underscore && (stem[i] < '0' || stem[i] > '9')) return false;
  }
  return true;
}

// Flameshot's default "2024-03-05_14-07.png", and "2024-03-05_14-07_1.png"
// for a second shot in the same minute.
bool isFlameshotName(std::string_view name) {
  constexpr std::string_view kShape = "dddd-dd-dd_dd-dd";
  if (name.size() < kShape.size() + 4 || strncasecmp(name.data() + name.size() - 4, ".png", 4) != 0) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = name[i] >= '0' && name[i] <= '9';
    if (kShape[i] == 'd' ? !digit : name[i] != kShape[i]) return false;
  }
  const std::string_view counter = name.substr(kShape.size(), name.size() - 4 - kShape.size());
  if (counter.empty()) return true;
  return counter.size() >= 2 && counter.front() == '_' &&
         counter.substr(1).find_first_not_of("0123456789") == std::string_view::npos;
}

std::string_view stemOf(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

// ASCII case only: the endings it is asked about are ASCII.
bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         strncasecmp(text.data() + text.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }


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
// Steam's 14-digit run holds the time as well; it is split in two.
std::optional<std::array<int, 3>> readDate(std::vector<DigitRun>& runs, std::size_t& i) {
  if (i < runs.size() && runs[i].digits.size() == 14) {
    DigitRun time{runs[i].begin + 8, runs[i].digits.substr(8)};
    runs[i].digits.resize(8);
    runs.insert(runs.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(time));
  }
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
  // Asked of every file: the endings and whole-name shapes are ASCII, and
  // only the head of the name is lower-cased for the prefixes.
  const std::string_view stem = stemOf(fileName);
  if (isSteamStem(stem) || isFlameshotName(fileName)) return true;
  for (const auto suffix : kScreenshotStemSuffixes) {
    if (endsWithIgnoringCase(stem, suffix)) return true;
  }
  const std::string head = lowercaseFull(fileName.substr(0, kLongestPrefixBytes));
  for (const auto prefix : kScreenshotPrefixes) {
    if (startsWith(head, prefix)) return true;
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

namespace {

// The local time a Flameshot name gives, to the minute.
std::optional<double> dateFromFlameshotName(std::string_view name) {
  const auto at = [&](std::size_t i, std::size_t n) { return number(name.substr(i, n)); };
  std::tm local{};
  local.tm_year = at(0, 4) - 1900, local.tm_mon = at(5, 2) - 1, local.tm_mday = at(8, 2);
  local.tm_hour = at(11, 2), local.tm_min = at(14, 2);
  local.tm_isdst = -1;
  if (local.tm_year < 70 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_mday > 31 || local.tm_hour > 23 ||
      local.tm_min > 59) {
    return std::nullopt;
  }
  const std::time_t instant = localTimeToInstant(local);
  if (instant == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<double>(instant);
}

}  // namespace

std::optional<double> dateFromScreenshotFileName(std::string_view fileName) {
  if (isFlameshotName(fileName)) return dateFromFlameshotName(fileName);
  if (!isScreenshotFileName(fileName)) return std::nullopt;
  const std::string_view stem = stemOf(fileName);
  for (std::size_t start = 0;; ++start) {
    auto runs = digitRuns(stem);  // afresh: readDate may split a run
    if (start >= runs.size()) break;
    std::size_t i = start;
    const auto date = readDate(runs, i);
    if (!date) continue;
    const std::size_t dateEnd = runs[i - 1].begin + runs[i - 1].digits.size();
    const std::size_t timeBegin = i < runs.size() ? runs[i].begin : stem.size();
    const auto time = readTime(runs, i);
    if (!time) continue;
    auto [year, month, day] = *date;
    auto [hour, minute, second] = *time;
    const std::size_t afterTime = runs[i - 1].begin + runs[i - 1].digits.size();
    const std::string before = lowercaseFull(stem.substr(dateEnd, timeBegin - dateEnd));
    const std::string after = lowercaseFull(stem.substr(afterTime, 8));
    const auto marked = [&](const auto& marks) {
      for (const std::string_view mark : marks) {
        const bool ascii = static_cast<unsigned char>(mark[0]) < 0x80;
        if (!ascii && before.find(mark) != std::string::npos) return true;  // "오후 2.07.09", "下午2.07.09"
        const std::string_view rest = std::string_view(after).substr(after.starts_with("\u202f") ? 3 : 0);
        if (rest.starts_with(mark) || (rest.starts_with(" ") && rest.substr(1).starts_with(mark))) return true;
      }
      return false;
    };
    if (hour >= 1 && hour <= 12 && marked(kAfternoonMarks)) hour = hour % 12 + 12;
    if (hour >= 1 && hour <= 12 && marked(kMorningMarks)) hour = hour % 12;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
      continue;
    }
    std::tm local{};
    local.tm_year = year - 1900, local.tm_mon = month - 1, local.tm_mday = day;
    local.tm_hour = hour, local.tm_min = minute, local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t instant = localTimeToInstant(local);
    if (instant == static_cast<std::time_t>(-1)) continue;
    return static_cast<double>(instant);
  }
  return std::nullopt;
}

}  // namespace shotsieve::folder
