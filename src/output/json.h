#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace shotsieve {

class JsonValue;
struct JsonMember;
using JsonArray = std::vector<JsonValue>;

// A dictionary with text keys that keeps its members in insertion order.
class JsonObject {
 public:
  // Defined below JsonMember, which must be complete for them.
  JsonObject();
  JsonObject(const JsonObject&);
  JsonObject(JsonObject&&) noexcept;
  JsonObject& operator=(const JsonObject&);
  JsonObject& operator=(JsonObject&&) noexcept;
  ~JsonObject();

  // Replaces the value of an existing key, else appends the member.
  JsonObject& set(std::string key, JsonValue value);
  const JsonValue* find(std::string_view key) const;
  const std::vector<JsonMember>& members() const { return members_; }

 private:
  std::vector<JsonMember> members_;
};

class JsonValue {
 public:
  using Storage = std::variant<JsonObject, JsonArray, std::string, std::int64_t, double, bool>;

  // Defined below JsonMember: an object's members must be complete first.
  JsonValue();
  JsonValue(JsonObject value);
  JsonValue(JsonArray value);
  JsonValue(std::string value) : storage_(std::move(value)) {}
  JsonValue(std::string_view value) : storage_(std::string(value)) {}
  JsonValue(const char* value) : storage_(std::string(value)) {}
  JsonValue(double value) : storage_(value) {}
  JsonValue(bool value) : storage_(value) {}
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  JsonValue(T value) : storage_(static_cast<std::int64_t>(value)) {}

  const Storage& storage() const { return storage_; }
  template <typename T>
  const T* as() const { return std::get_if<T>(&storage_); }

 private:
  Storage storage_;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

inline JsonObject::JsonObject() = default;
inline JsonObject::JsonObject(const JsonObject&) = default;
inline JsonObject::JsonObject(JsonObject&&) noexcept = default;
inline JsonObject& JsonObject::operator=(const JsonObject&) = default;
inline JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;
inline JsonObject::~JsonObject() = default;
inline JsonValue::JsonValue() : storage_(JsonObject{}) {}
inline JsonValue::JsonValue(JsonObject value) : storage_(std::move(value)) {}
inline JsonValue::JsonValue(JsonArray value) : storage_(std::move(value)) {}

// Compact JSON text: no white space, the solidus escaped, non-ASCII as raw
// UTF-8. Returns "{}" when the top level is not an array or an object, when a
// number is NaN or infinite, or when a text or key is not valid UTF-8.
std::string jsonEncode(const JsonValue& value);

}  // namespace shotsieve
