#include <gtest/gtest.h>

#include "cli/day_count.h"
#include "cli/dispatch.h"
#include "photos/memory_library.h"

namespace shotsieve {
namespace {

TEST(ParseDayCount, AcceptsSignedDecimalWithinSixtyFourBits) {
  EXPECT_EQ(parseDayCount("7"), 7);
  EXPECT_EQ(parseDayCount("+7"), 7);
  EXPECT_EQ(parseDayCount("007"), 7);
  EXPECT_EQ(parseDayCount("-0"), 0);
  EXPECT_EQ(parseDayCount("-3"), -3);
  EXPECT_EQ(parseDayCount("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseDayCount("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parseDayCount("0009223372036854775807"), INT64_MAX);
}

TEST(ParseDayCount, RejectsAnythingElseWhole) {
  for (const char* text : {"", "+", "-", " 7", "7 ", "7.5", "1_000", "abc", "+-7", "--7", "٧", "9223372036854775808",
                           "-9223372036854775809", "99999999999999999999"}) {
    EXPECT_EQ(parseDayCount(text), std::nullopt) << text;
  }
}

TEST(RunCommandLine, UsageErrorsReturn64WithoutTouchingTheLibrary) {
  MemoryLibrary library;
  // The messages of each are in the end-to-end tests.
  const std::vector<std::vector<std::string>> cases{
      {"shotsieve"}, {"shotsieve", "list "}, {"shotsieve", "list", "7"}, {"shotsieve", "list", "7.5", "/tmp/x"},
      {"shotsieve", "list", "-9223372036854775808", "/tmp/x"},  // no window for the two smallest
      {"shotsieve", "list", "-9223372036854775807", "/tmp/x"}};
  for (const auto& args : cases) {
    EXPECT_EQ(runCommandLine(args, library), kExitUsage) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(library.statusQueries(), 0);
}

TEST(RunCommandLine, ListReachesTheListingAndExtraWordsAreIgnored) {
  MemoryLibrary library;
  library.status = kDenied;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(runCommandLine({"shotsieve", "list", "-9223372036854775806", "/nonexistent/x", "extra"}, library), 2);
  EXPECT_EQ(runCommandLine({"shotsieve", "auth-status", "extra"}, library), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "{\"error\":\"not-authorized\",\"status\":\"denied\"}\n{\"status\":\"denied\"}\n");
}

// No answer is no answer: status 70 and a reason, and nothing on standard
// output that a reader could take for one.
TEST(RunCommandLine, ACommandThatCannotAnswerEndsWith70AndAReason) {
  MemoryLibrary library;
  library.fetchThrows = true;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"shotsieve", "list-today"},
                                               std::vector<std::string>{"shotsieve", "list", "1", "/nonexistent/x"}}) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(runCommandLine(args, library), 70) << args[1];
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << args[1];
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("scripted fetch failed"), std::string::npos) << args[1];
  }
}

}  // namespace
}  // namespace shotsieve
