#include "output/utf8.h"

namespace shotsieve {

std::size_t decodeCodePoint(std::string_view bytes, char32_t& codePoint, bool& wellFormed) {
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byteAt(0);
  wellFormed = false;
  if (lead < 0x80) {
    codePoint = lead;
    wellFormed = true;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 1;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) return i;
    const unsigned char next = byteAt(i);
    const unsigned char min = i == 1 ? low : 0x80, max = i == 1 ? high : 0xBF;
    if (next < min || next > max) return i;
    value = (value << 6) | (next & 0x3F);
  }
  codePoint = value;
  wellFormed = true;
  return length;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool isValidUtf8(std::string_view bytes) {
  while (!bytes.empty()) {
    char32_t cp;
    bool ok;
    const std::size_t used = decodeCodePoint(bytes, cp, ok);
    if (!ok) return false;
    bytes.remove_prefix(used);
  }
  return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t cp;
    bool ok;
    const std::size_t used = decodeCodePoint(bytes, cp, ok);
    if (ok) {
      out.append(bytes.substr(0, used));
    } else {
      out += "\xEF\xBF\xBD";
    }
    bytes.remove_prefix(used);
  }
  return out;
}

}  // namespace shotsieve
