#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "image_fixtures.h"
#include "listing/list_json.h"
#include "listing/today_command.h"
#include "listing/window.h"
#include "photos/memory_library.h"
#include "scratch_dir.h"

namespace shotsieve {
namespace {

using namespace std::chrono_literals;
using shotsieve::testing::ScratchDir;
namespace fs = std::filesystem;

// Test times lie seconds or minutes back; listings take two days, so that
// they fall inside the window also just after midnight.
double now() { return static_cast<double>(std::time(nullptr)); }

class ListTest : public ::testing::Test {
 protected:
  MemoryLibrary library;
  ScratchDir scratch;
  std::string exportDir = scratch / "cache/shots";
};

TEST_F(ListTest, RefusedRunTouchesNothing) {
  for (const int status : {0, 1, 2, 5}) {
    library.status = status;
    const std::string text = listJSON(library, 7, exportDir).text();
    EXPECT_TRUE(text.starts_with(R"({"error":"not-authorized","status":")")) << text;
  }
  EXPECT_FALSE(fs::exists(scratch / "cache"));
  EXPECT_TRUE(library.fetches().empty());
}

TEST_F(ListTest, ListsNewestFirstExportsAndPrunesOnce) {
  library.status = kLimited;
  library.addScreenshot("OLD/L0/001", now() - 100);
  library.addScreenshot("NEW/L0/001", now() - 10, "Neu.PNG");
  const Asset failing = library.addScreenshot("BAD/L0/001", now() - 50, "bad.jpg");
  library.writes[failing.locator].outcome = MemoryLibrary::WriteOutcome::error;
  fs::create_directories(exportDir);
  const std::string stale = exportDir + "/40B314D6-141D-5673-93BE-13AAE5A54B73.png";
  shotsieve::testing::writeFile(stale, "");
  fs::last_write_time(stale, fs::file_time_type::clock::now() - 15 * 24h);

  const std::string text = listJSON(library, 2, exportDir).text();
  EXPECT_NE(text.find(R"({"uuid":"NEW","date":")"), std::string::npos) << text;
  EXPECT_LT(text.find("NEW"), text.find("BAD"));
  EXPECT_LT(text.find("BAD"), text.find("OLD"));
  EXPECT_NE(text.find(R"("original_filename":"bad.jpg","path":"","ismissing":true})"), std::string::npos) << text;
  EXPECT_NE(text.find(R"(NEW.png","ismissing":false})"), std::string::npos) << text;
  EXPECT_EQ(text.find("__truncated"), std::string::npos);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(exportDir + "/NEW.png"));
  const auto fetches = library.fetches();
  ASSERT_EQ(fetches.size(), 1u);
  const FetchOptions& fetch = fetches[0];
  EXPECT_EQ(fetch.mediaType, kImageMediaType);
  EXPECT_EQ(fetch.subtypeMask, kScreenshotSubtype);
}

TEST_F(ListTest, TheWindowFollowsTheDayCount) {
  library.addScreenshot("TODAY/L0/001", now());
  library.addScreenshot("LASTWEEK/L0/001", windowStart(7, std::time(nullptr)));  // the bound is inclusive
  library.addScreenshot("ANCIENT/L0/001", -1e12);
  const auto uuids = [&](std::int64_t days) {
    const std::string text = listJSON(library, days, exportDir).text();
    std::string found;
    for (const char* id : {"TODAY", "LASTWEEK", "ANCIENT"}) found += text.find(id) != std::string::npos ? id[0] : '-';
    return found;
  };
  EXPECT_EQ(uuids(1), "T--");
  EXPECT_EQ(fs::status(exportDir).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(scratch / "cache").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(uuids(7), "TL-");
  EXPECT_EQ(uuids(0), "---");
  EXPECT_EQ(uuids(-3), "---");
  EXPECT_EQ(uuids(INT64_MAX), "TLA");  // the start is clamped, not moved to today
  EXPECT_EQ(uuids(INT64_MIN + 2), "---");
}

TEST_F(ListTest, BudgetAddsTheTruncationMarker) {
  for (int i = 0; i < 5; ++i) {
    std::string id = "S";  // built step by step: GCC 12 warns wrongly on "S" + std::string at -O3
    id += std::to_string(i) + "/L0/001";
    const Asset asset = library.addScreenshot(id, now() - i);
    // Every other export outlasts the budget; the rest take no time. Which
    // exports start before it is spent then does not hang on how fast the
    // machine is: each start comes a whole budget before the deadline, or
    // after it (150 ms of margin were once too few on a loaded machine).
    library.writes[asset.locator].delay = i % 2 ? 1600ms : 0ms;
  }
  // One at a time: the first two start in the budget, the third check finds it spent.
  const std::string truncated = listJSON(library, 2, exportDir, ListOptions{0.8, NetworkAccess::allowed, kExportTimeout, 1}).text();
  EXPECT_TRUE(truncated.ends_with(R"({"__truncated":true,"__done":2,"__total":5}])")) << truncated;
  // Two at a time, at most two ahead of the answer: the third starts beside
  // the slow second and is kept; the fourth waits for the second, past the
  // budget. What was under way when it ran out is finished, in order.
  fs::remove_all(exportDir);
  const std::string overlapped = listJSON(library, 2, exportDir, ListOptions{0.8, NetworkAccess::allowed, kExportTimeout, 2}).text();
  EXPECT_TRUE(overlapped.ends_with(R"({"__truncated":true,"__done":3,"__total":5}])")) << overlapped;
  EXPECT_LT(overlapped.find("\"S0\""), overlapped.find("\"S1\""));
  EXPECT_LT(overlapped.find("\"S1\""), overlapped.find("\"S2\""));
  EXPECT_EQ(listJSON(library, 2, exportDir, ListOptions{1e-9}).text().substr(0, 1), "[");
  for (const double unlimited : {0.0, -1.0, std::nan("")}) {
    EXPECT_EQ(listJSON(library, 2, exportDir, ListOptions{unlimited}).text().find("__truncated"), std::string::npos);
  }
  library.assets.clear();
  EXPECT_EQ(listJSON(library, 2, exportDir, ListOptions{1e-9}).text(), "[]");
}

// The command line streams the answer; it must be the very text listJSON
// returns, also when it is written out in many chunks.
TEST_F(ListTest, TheStreamedAnswerIsTheReturnedOne) {
  library.status = kAuthorized;
  for (int i = 0; i < 600; ++i) {
    library.addScreenshot("S" + std::to_string(i) + "/L0/001", now() - i, "Screenshot " + std::to_string(i) + ".png");
  }
  const std::string expected = listJSON(library, 2, exportDir).text() + "\n";
  ASSERT_GT(expected.size(), 64 * 1024u);  // more than one chunk
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(streamListJSON(library, 2, exportDir, out).outcome, ListStreamOutcome::listed);
  std::rewind(out);
  std::string streamed(expected.size() + 16, '\0');
  streamed.resize(std::fread(streamed.data(), 1, streamed.size(), out));
  std::fclose(out);
  EXPECT_EQ(streamed, expected);
  library.status = kDenied;
  out = std::tmpfile();
  EXPECT_EQ(streamListJSON(library, 2, exportDir, out).outcome, ListStreamOutcome::notAuthorized);
  std::fclose(out);
}

// A listing that fails is a failure, never a text that looks like an answer:
// the stream holds nothing, or the complete array of the entries before it.
TEST_F(ListTest, AFailedListingSaysSoAndLeavesNoBrokenJson) {
  library.status = kAuthorized;
  for (int i = 0; i < 600; ++i) {
    library.addScreenshot("S" + std::to_string(i) + "/L0/001", now() - i, "Screenshot " + std::to_string(i) + ".png");
  }
  library.addScreenshot("BAD\xff/L0/001", now() - 500.5);  // not UTF-8: an entry that cannot be encoded, after the first chunk
  const auto streamed = [&] {
    std::FILE* out = std::tmpfile();
    const ListStreamed outcome = streamListJSON(library, 2, exportDir, out);
    std::rewind(out);
    std::string text(1 << 20, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    return std::pair(outcome, text);
  };
  EXPECT_FALSE(listJSON(library, 2, exportDir).made());
  auto [outcome, text] = streamed();
  EXPECT_EQ(outcome.outcome, ListStreamOutcome::failed);
  EXPECT_FALSE(outcome.failure.empty());
  ASSERT_GT(text.size(), 64 * 1024u);
  EXPECT_EQ(text.front(), '[');
  EXPECT_TRUE(text.ends_with("}]\n")) << text.substr(text.size() - 40);
  EXPECT_EQ(text.find("BAD"), std::string::npos);
  library.fetchThrows = true;
  EXPECT_FALSE(listJSON(library, 2, exportDir).made());
  std::tie(outcome, text) = streamed();
  EXPECT_EQ(outcome.outcome, ListStreamOutcome::failed);
  EXPECT_EQ(text, "");
  EXPECT_FALSE(listTodayJSON(library).made());
}

TEST_F(ListTest, TodayListsRecordsNewestFirst) {
  library.addScreenshot("A/L0/001", now() - 2);
  library.addScreenshot("B/L0/001", now() + 3600);  // ahead of the clock, still today or later
  library.addScreenshot("Y/L0/001", windowStart(1, std::time(nullptr)) - 1);
  library.addScreenshot("M/L0/001", windowStart(1, std::time(nullptr)));
  const std::string text = listTodayJSON(library).text();
  EXPECT_TRUE(text.starts_with(R"({"count":3,"items":[{"uuid":"B")")) << text;
  EXPECT_EQ(text.find("\"Y\""), std::string::npos);
  library.status = kDenied;
  EXPECT_EQ(listTodayJSON(library).text(), R"({"error":"not-authorized","status":"denied"})");
}

}  // namespace
}  // namespace shotsieve
