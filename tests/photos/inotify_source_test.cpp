#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "image_fixtures.h"
#include "photos/cache_tag.h"
#include "photos/folder/watch/inotify_source.h"
#include "scratch_dir.h"

namespace shotsieve::folder {
namespace {

using shotsieve::testing::ScratchDir;
using shotsieve::testing::writeFile;
using Kind = FolderEvent::Kind;
using Events = std::vector<std::pair<Kind, std::string>>;
namespace fs = std::filesystem;

// What the source makes of the events queued so far (the kernel queues them
// before the call that caused them returns).
Events eventsOf(InotifyInstance& inotify, InotifySource& source) {
  inotify.drain([&](const inotify_event& event) { source.handle(event); });
  std::vector<FolderEvent> collected;
  source.collect({}, collected);
  Events events;
  for (const auto& event : collected) events.emplace_back(event.kind, event.relativePath);
  return events;
}

// A folder whose every file was known is watched for its entries alone,
// which the kernel arms without marking each file: what its files do says
// nothing, a new one is to be looked at at once (its close went unheard), and
// the first stirs the folder, once, to be watched whole.
TEST(InotifySource, AQuietFolderTellsNewEntriesOnlyAndIsStirredOnceToBeWatchedWhole) {
  ScratchDir home;
  const std::string folder = home / "old";
  fs::create_directories(folder);
  writeFile(folder + "/known.png", "x");
  const auto inotify = InotifyInstance::open();
  ASSERT_TRUE(inotify);
  InotifySource source(*inotify);
  const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(source.addQuiet("old", fd.get()));
  EXPECT_EQ(source.quietFolders(), std::vector<std::string>{"old"});

  writeFile(folder + "/known.png", "rewritten");
  ::chmod((folder + "/known.png").c_str(), 0600);
  EXPECT_EQ(eventsOf(*inotify, source), Events{});

  writeFile(folder + "/a.png", "a");
  fs::create_directory(folder + "/sub");
  writeFile(folder + "/" + std::string(kCacheTagName), "Signature: 8a477f597d28d172789f06886806bc55");
  fs::remove(folder + "/a.png");
  EXPECT_EQ(eventsOf(*inotify, source), (Events{{Kind::quietFolderStirred, "old"},
                                                {Kind::fileWritten, "old/a.png"},
                                                {Kind::folderAppeared, "old/sub"},
                                                {Kind::cacheTagWritten, "old"},
                                                {Kind::fileGone, "old/a.png"}}));

  ASSERT_TRUE(source.add("old", fd.get()));  // as the watcher does once stirred
  EXPECT_TRUE(source.quietFolders().empty());
  writeFile(folder + "/b.png", "b");
  ::chmod((folder + "/known.png").c_str(), 0644);
  const Events whole = eventsOf(*inotify, source);
  EXPECT_EQ(whole.front(), std::make_pair(Kind::fileChanging, std::string("old/b.png")));
  EXPECT_NE(std::find(whole.begin(), whole.end(), std::make_pair(Kind::fileWritten, std::string("old/b.png"))),
            whole.end());
  EXPECT_EQ(whole.back(), std::make_pair(Kind::accessChanged, std::string("old/known.png")));
  EXPECT_EQ(std::count(whole.begin(), whole.end(), std::make_pair(Kind::quietFolderStirred, std::string("old"))), 0);
}

}  // namespace
}  // namespace shotsieve::folder
