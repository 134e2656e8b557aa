// jsonEncode of values built from the bytes, checked with an independent JSON
// parser: the text parses and reads back to the same values, or it is "{}"
// exactly when encoding is impossible.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "output/json.h"

using shotsieve::JsonArray;
using shotsieve::JsonObject;
using shotsieve::JsonValue;

namespace {

struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t byte() { return at < size ? data[at++] : 0; }
  std::string text() {
    const size_t length = std::min<size_t>(byte() % 24, size - std::min(at, size));
    std::string out(reinterpret_cast<const char*>(data) + at, length);
    at += length;
    return out;
  }
  template <typename T>
  T number() {
    T value{};
    unsigned char raw[sizeof(T)] = {};
    for (auto& c : raw) c = byte();
    std::memcpy(&value, raw, sizeof value);
    return value;
  }
};

// Strict UTF-8, written apart from the encoder's own check.
bool validUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Builds a value; `encodable` turns false when it holds what JSON cannot carry.
JsonValue build(Bytes& in, int depth, bool& encodable) {
  switch (depth >= 6 ? 2 + in.byte() % 4 : in.byte() % 6) {
    case 0: {
      JsonObject object;
      for (int n = in.byte() % 5; n > 0; --n) {
        std::string key = in.text();
        encodable = encodable && validUtf8(key);
        object.set(std::move(key), build(in, depth + 1, encodable));
      }
      return object;
    }
    case 1: {
      JsonArray array;
      for (int n = in.byte() % 5; n > 0; --n) array.push_back(build(in, depth + 1, encodable));
      return array;
    }
    case 2: {
      std::string text = in.text();
      encodable = encodable && validUtf8(text);
      return JsonValue(std::move(text));
    }
    case 3:
      return JsonValue(in.number<std::int64_t>());
    case 4: {
      const double value = in.number<double>();
      encodable = encodable && std::isfinite(value);
      return JsonValue(value);
    }
    default:
      return JsonValue(in.byte() % 2 == 1);
  }
}

// Whether the built value holds only what JSON can carry; judged on the final
// value, as a later member of the same key replaces an earlier one.
bool encodable(const JsonValue& value) {
  if (const auto* object = value.as<JsonObject>()) {
    return std::all_of(object->members().begin(), object->members().end(),
                       [](const auto& m) { return validUtf8(m.key) && encodable(m.value); });
  }
  if (const auto* array = value.as<JsonArray>()) return std::all_of(array->begin(), array->end(), encodable);
  if (const auto* text = value.as<std::string>()) return validUtf8(*text);
  if (const auto* number = value.as<double>()) return std::isfinite(*number);
  return true;
}

bool same(const JsonValue& value, const nlohmann::json& parsed) {
  if (const auto* object = value.as<JsonObject>()) {
    if (!parsed.is_object() || parsed.size() != object->members().size()) return false;
    for (const auto& member : object->members()) {
      const auto found = parsed.find(member.key);
      if (found == parsed.end() || !same(member.value, *found)) return false;
    }
    return true;
  }
  if (const auto* array = value.as<JsonArray>()) {
    if (!parsed.is_array() || parsed.size() != array->size()) return false;
    for (size_t i = 0; i < array->size(); ++i) {
      if (!same((*array)[i], parsed[i])) return false;
    }
    return true;
  }
  if (const auto* text = value.as<std::string>()) return parsed.is_string() && parsed.get<std::string>() == *text;
  if (const auto* boolean = value.as<bool>()) return parsed.is_boolean() && parsed.get<bool>() == *boolean;
  if (const auto* integer = value.as<std::int64_t>()) {
    return parsed.is_number_integer() && parsed.get<std::int64_t>() == *integer;
  }
  const double number = *value.as<double>();
  return parsed.is_number() && parsed.get<double>() == number;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in{data, size};
  bool unused = true;
  const JsonValue value = build(in, 0, unused);
  const std::string text = shotsieve::jsonEncode(value);
  const bool container = value.as<JsonObject>() != nullptr || value.as<JsonArray>() != nullptr;
  if (!container || !encodable(value)) {
    if (text != "{}") std::abort();
    return 0;
  }
  if (!validUtf8(text)) std::abort();
  const auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !same(value, parsed)) std::abort();
  return 0;
}
