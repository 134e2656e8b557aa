#pragma once

#include <string>
#include <string_view>

namespace shotsieve {

// True when the bytes are well-formed UTF-8 (no surrogates, no overlong forms).
bool isValidUtf8(std::string_view bytes);

// The bytes read as UTF-8, each ill-formed sequence (maximal subpart) replaced
// by U+FFFD, so the result is always valid UTF-8.
std::string decodeUtf8Lossy(std::string_view bytes);

// Decodes one code point at the front of `bytes`. Returns the number of bytes
// it spans and stores the code point, or returns the length of the ill-formed
// prefix (at least 1) and stores -1.
std::size_t decodeCodePoint(std::string_view bytes, char32_t& codePoint, bool& wellFormed);

// Appends the UTF-8 encoding of a code point.
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace shotsieve
