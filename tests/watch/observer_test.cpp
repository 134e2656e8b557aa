#include <gtest/gtest.h>

#include <sstream>

#include "photos/memory_library.h"
#include "watch/watch_command.h"

namespace shotsieve {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

Asset screenshot(const std::string& id, std::uint32_t subtypes = kScreenshotSubtype) {
  Asset asset;
  asset.localIdentifier = id + "/L0/001";
  asset.creationDate = 1e9;
  asset.mediaSubtypes = subtypes;
  return asset;
}

TEST(Watch, NotAuthorizedWritesOnlyTheRefusal) {
  MemoryLibrary library;
  library.status = kRestricted;
  CaptureStdout();
  EXPECT_EQ(beginWatch(library).observer, nullptr);
  EXPECT_EQ(GetCapturedStdout(), "{\"error\":\"not-authorized\",\"status\":\"restricted\"}\n");
  EXPECT_EQ(library.observerCount(), 0u);
  EXPECT_TRUE(library.fetches().empty());
}

TEST(Watch, StartLineCountsTheBaselineAndLimitedWatches) {
  MemoryLibrary library;
  library.status = kLimited;
  CaptureStdout();
  const auto observer = beginWatch(library).observer;
  EXPECT_EQ(GetCapturedStdout(), "{\"event\":\"watching\",\"baseline_count\":0}\n");
  ASSERT_NE(observer, nullptr);
  EXPECT_EQ(library.observerCount(), 1u);
}

TEST(Watch, OneLinePerInsertedScreenshotAgainstTheFirstBaseline) {
  MemoryLibrary library;
  library.assets.push_back({screenshot("OLD"), {}});
  CaptureStdout();
  const auto observer = beginWatch(library).observer;
  library.deliver(Change{});                                                     // no details
  library.deliver(Change{{}, {screenshot("OLD")}, {screenshot("OLD")}});        // removals and changes only
  library.deliver(Change{{screenshot("OLD")}, {}, {}});                         // already in the baseline
  library.deliver(Change{{screenshot("A"), screenshot("PLAIN", 8), screenshot("B"), screenshot("B")}, {}, {}});
  library.deliver(Change{{screenshot("A")}, {}, {}});  // still new against the baseline taken at start
  std::vector<std::string> lines;
  std::istringstream out(GetCapturedStdout());
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  const std::string added = R"({"event":"screenshot-added","asset":{"uuid":")";
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], R"({"event":"watching","baseline_count":1})");
  EXPECT_EQ(lines[1], added + R"(A","id":"A\/L0\/001","created_at":"2001-09-09T01:46:40Z","modified_at":"",)" +
                          R"("width":0,"height":0,"is_screenshot":true,"is_favorite":false}})");
  EXPECT_TRUE(lines[2].starts_with(added + "B\"")) << lines[2];
  EXPECT_TRUE(lines[3].starts_with(added + "A\"")) << lines[3];
}

}  // namespace
}  // namespace shotsieve
