#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "output/iso8601.h"
#include "output/json.h"

namespace shotsieve {
namespace {

TEST(JsonEncode, TopLevelMustBeArrayOrObject) {
  EXPECT_EQ(jsonEncode(JsonObject{}), "{}");
  EXPECT_EQ(jsonEncode(JsonArray{}), "[]");
  EXPECT_EQ(jsonEncode(JsonValue("text")), "{}");
  EXPECT_EQ(jsonEncode(JsonValue(42)), "{}");
  EXPECT_EQ(jsonEncode(JsonValue(true)), "{}");
}

TEST(JsonEncode, CompactInInsertionOrderWithReplacedKeysInPlace) {
  JsonObject object;
  object.set("b", 1).set("a", JsonArray{true, false, -7}).set("b", 2);
  EXPECT_EQ(jsonEncode(object), R"({"b":2,"a":[true,false,-7]})");
}

TEST(JsonEncode, EscapesSolidusQuotesBackslashAndControlsButNotUnicode) {
  JsonObject object;
  object.set("path", "/tmp/x/截图 \"1\"\\\n\t\x01\x1f\x7f");
  EXPECT_EQ(jsonEncode(object), "{\"path\":\"\\/tmp\\/x\\/截图 \\\"1\\\"\\\\\\n\\t\\u0001\\u001f\x7f\"}");
}

TEST(JsonEncode, ImpossibleTextGivesEmptyObject) {
  const double nan = std::nan("");
  EXPECT_EQ(jsonEncode(JsonObject{}.set("n", nan)), "{}");
  EXPECT_EQ(jsonEncode(JsonArray{JsonObject{}.set("n", std::numeric_limits<double>::infinity())}), "{}");
  EXPECT_EQ(jsonEncode(JsonObject{}.set("bad", std::string("\xC3\x28"))), "{}");
  EXPECT_EQ(jsonEncode(JsonObject{}.set(std::string("\xED\xA0\x80"), 1)), "{}");  // a surrogate as key
}

TEST(JsonEncode, FloatingPointReadsBackToTheSameValue) {
  for (const double value : {0.1, 1.0 / 3.0, 1e300, -2.5e-300, 123456789.125}) {
    const std::string text = jsonEncode(JsonArray{value});
    EXPECT_EQ(std::stod(text.substr(1, text.size() - 2)), value) << text;
  }
  EXPECT_EQ(jsonEncode(JsonArray{0.1}), "[0.1]");
}

TEST(JsonEncode, IntegersAtTheirLimits) {
  EXPECT_EQ(jsonEncode(JsonArray{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}),
            "[-9223372036854775808,9223372036854775807]");
}

TEST(Iso8601, WholeSecondsInUtcWhateverTheZone) {
  setenv("TZ", "Asia/Kolkata", 1);
  tzset();
  EXPECT_EQ(iso8601(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso8601(1.9), "1970-01-01T00:00:01Z");
  EXPECT_EQ(iso8601(-0.5), "1969-12-31T23:59:59Z");
  EXPECT_EQ(iso8601(1709647629.999), "2024-03-05T14:07:09Z");
  EXPECT_EQ(iso8601(951782400), "2000-02-29T00:00:00Z");
  unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace shotsieve
