#include "output/text_case.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <vector>

#include "output/utf8.h"

namespace shotsieve {

namespace {

// glibc's C.UTF-8 carries the Unicode simple case mappings; a private locale
// object leaves the process's own locale alone.
locale_t unicodeLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  return locale;
}

char32_t lowerSimple(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  const locale_t locale = unicodeLocale();
  if (locale == locale_t{}) return cp;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale));
}

bool isCased(char32_t cp) {
  const locale_t locale = unicodeLocale();
  if (locale == locale_t{}) return (cp | 32) >= 'a' && (cp | 32) <= 'z';
  return iswalpha_l(static_cast<wint_t>(cp), locale) != 0;
}

}  // namespace

std::string lowercaseFull(std::string_view text) {
  // Most names are ASCII, whose lower case is a byte's.
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    std::string out(text);
    for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return out;
  }
  std::vector<char32_t> points;
  while (!text.empty()) {
    char32_t cp;
    bool ok;
    const std::size_t used = decodeCodePoint(text, cp, ok);
    points.push_back(ok ? cp : U'\uFFFD');
    text.remove_prefix(used);
  }
  std::string out;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const char32_t cp = points[i];
    if (cp == U'\u0130') {  // the one unconditional one-to-two mapping
      out += 'i';
      appendUtf8(out, U'\u0307');
    } else if (cp == U'\u03A3') {  // final sigma: after a letter, not before one
      const bool after = i > 0 && isCased(points[i - 1]);
      const bool before = i + 1 < points.size() && isCased(points[i + 1]);
      appendUtf8(out, after && !before ? U'\u03C2' : U'\u03C3');
    } else {
      appendUtf8(out, lowerSimple(cp));
    }
  }
  return out;
}

}  // namespace shotsieve
