#include "output/json.h"

#include <charconv>
#include <cmath>
#include <optional>

#include "output/utf8.h"

namespace shotsieve {

JsonObject& JsonObject::set(std::string key, JsonValue value) {
  for (auto& member : members_) {
    if (member.key == key) {
      member.value = std::move(value);
      return *this;
    }
  }
  members_.push_back({std::move(key), std::move(value)});
  return *this;
}

const JsonValue* JsonObject::find(std::string_view key) const {
  for (const auto& member : members_) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

namespace {

// Appends a quoted, escaped text; false when the text is not valid UTF-8.
bool appendText(std::string& out, std::string_view text) {
  if (!isValidUtf8(text)) return false;
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          static constexpr char hex[] = "0123456789abcdef";
          out += "\\u00";
          out += hex[(c >> 4) & 0xF];
          out += hex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return true;
}

bool appendValue(std::string& out, const JsonValue& value);

struct ValueWriter {
  std::string& out;

  bool operator()(const JsonObject& object) {
    out += '{';
    bool first = true;
    for (const auto& member : object.members()) {
      if (!first) out += ',';
      first = false;
      if (!appendText(out, member.key)) return false;
      out += ':';
      if (!appendValue(out, member.value)) return false;
    }
    out += '}';
    return true;
  }
  bool operator()(const JsonArray& array) {
    out += '[';
    bool first = true;
    for (const auto& element : array) {
      if (!first) out += ',';
      first = false;
      if (!appendValue(out, element)) return false;
    }
    out += ']';
    return true;
  }
  bool operator()(const std::string& text) { return appendText(out, text); }
  bool operator()(std::int64_t number) {
    out += std::to_string(number);
    return true;
  }
  bool operator()(double number) {
    if (!std::isfinite(number)) return false;
    char buffer[32];
    // Shortest digits that read back to the same double.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
    return true;
  }
  bool operator()(bool flag) {
    out += flag ? "true" : "false";
    return true;
  }
};

bool appendValue(std::string& out, const JsonValue& value) {
  return std::visit(ValueWriter{out}, value.storage());
}

}  // namespace

std::string jsonEncode(const JsonValue& value) {
  if (!value.as<JsonObject>() && !value.as<JsonArray>()) return "{}";
  std::string out;
  if (!appendValue(out, value)) return "{}";
  return out;
}

}  // namespace shotsieve
