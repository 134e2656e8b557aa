#include "photos/folder/watch/change_watcher.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <string_view>
#include <thread>
#include <unordered_set>

#include "output/json_array_text.h"
#include "photos/confinement.h"
#include "photos/folder/scan/library_scan.h"
#include "photos/folder/watch/backoff.h"
#include "photos/folder/watch/baseline_records.h"
#include "photos/folder/watch/file_inserter.h"
#include "photos/folder/watch/inotify_source.h"
#include "photos/folder/watch/library_folders.h"
#include "photos/folder/watch/root_follower.h"
#include "photos/folder/watch/save_schedule.h"
#include "photos/folder/watch/wake_descriptor.h"
#include "photos/folder/watch/writer_tracker.h"

namespace shotsieve::folder {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Looks at everything again after lost events no sooner than this; closer overflows back off.
constexpr auto kFloodGap = 2s;

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

struct ChangeWatcher::State {
  LibraryLocation location;
  MetadataIndex& index;
  Deliver deliver;
  std::unique_ptr<InotifyInstance> inotify;
  std::unique_ptr<InotifySource> watched;  // nothing without an inotify instance
  RootFollower follower;
  FileInserter inserter;
  std::vector<FileInserter::Candidate> looks;  // files to look at, from this round's events
  WriterTracker writers;
  KnownFiles known;
  LibraryFolders folders;
  UniqueFd stop{wakeDescriptor()};
  RootFollower::Place place;
  bool rootCheckDue = false;
  bool inotifyReady = false;  // as the last poll said
  Backoff lookAgainBackoff{20ms, 2000ms};
  std::optional<Clock::time_point> lookAgainAt;
  Clock::time_point lastLookAgain{};
  SaveSchedule save;
  PresentFiles present;  // told by the baseline's fetch, not yet known
  bool coverAtStart = false;  // the folders are to be covered for a fetch that tells their files
  BaselineRecords baselineRecords;
  std::promise<void> covered;
  std::thread thread;

  State(LibraryLocation libraryLocation, MetadataIndex& metadataIndex, Deliver deliverChange, const Notice& notice,
        Present presentFrom)
      : location(std::move(libraryLocation)),
        index(metadataIndex),
        deliver(std::move(deliverChange)),
        inotify(InotifyInstance::open()),
        watched(inotify ? std::make_unique<InotifySource>(*inotify) : nullptr),
        follower(location, inotify.get()),
        inserter(metadataIndex),
        folders(watched.get(), known, inserter) {
    if (!inotify && notice) {
      notice(std::string("shotsieve: watching by looking at the folders every few seconds, as no inotify "
                         "instance can be had: ") + std::strerror(errno));
    }
    place = follower.locate();
    follower.lookedAt(Clock::now());
    if (place.root.empty()) return;
    // A library made (or made again) between the confinement and this look
    // would be watched blind: no folder of it can be opened, so no event
    // would ever come.
    if (processIsConfined() && RootFollower::outOfReach(place)) handWatchOver();
    if (presentFrom == Present::walk) {
      folders.attach(place.root, LibraryFolders::Files::known);
      return;
    }
    coverAtStart = true;
  }

  // On the caller's thread, before any event is handled: once it returns,
  // a change anywhere in the library sends an event.
  void coverForTheFetch() {
    if (!coverAtStart) return;
    FolderMemory records(folderMemoryIn(location.cacheDir));
    records.load();
    folders.attach(place.root, LibraryFolders::Files::toldByFetch, &records);
  }

  void reconcile() {
    rootCheckDue = false;
    // A confined process reads the settings file it started with, and the
    // library it was confined to: one that moved, or settings written anew,
    // are out of its reach. A process confined without a way to hand over
    // follows as far as it can reach.
    if (processIsConfined() && follower.settingsOutOfReach()) handWatchOver();
    const RootFollower::Place now = follower.locate();
    follower.lookedAt(Clock::now());
    // Settings written anew while the watches were armed sent no event to them.
    if (processIsConfined() && follower.settingsOutOfReach()) handWatchOver();
    if (now == place && (folders.attached() || now.root.empty())) return;
    if (processIsConfined()) handWatchOver();
    if (folders.attached()) {
      folders.detach();
      writers.forgetBelow("");
      lookAgainAt.reset();
    }
    place = now;
    // A library that came (back): what is new in it is inserted.
    if (!place.root.empty()) folders.attach(place.root, LibraryFolders::Files::newHandedOn);
  }

  void handle(const FolderEvent& event, Clock::time_point now) {
    using Kind = FolderEvent::Kind;
    const std::string& path = event.relativePath;
    const bool media = mediaTypeOfName(nameOf(path)).has_value();
    // Events read in one batch with the one that made their folder a cache
    // (its tag comes before any copy) are of no picture.
    const bool stale = media && !folders.covers(folderOf(path));
    switch (event.kind) {
      case Kind::fileWritten:
        if (!media || stale) return;
        writers.forget(path);
        looks.emplace_back(path);
        return;
      case Kind::fileChanging:
        if (!media || stale) return;
        if (folders.isLink(path)) {
          looks.emplace_back(path);  // a link is complete once made
        } else {
          writers.changed(path, now);
        }
        return;
      case Kind::fileGrowing:
        if (media && !stale) writers.changed(path, now);
        return;
      case Kind::accessChanged:
        // Once readable, a file skipped before is looked at; a known one gives no second line.
        if (!media || stale || writers.tracks(path)) return;
        looks.emplace_back(path);
        return;
      case Kind::fileGone:
        writers.forget(path);
        known.left(path, now);
        return;
      case Kind::folderAppeared:
        folders.appeared(path);
        return;
      case Kind::cacheTagWritten:
        if (!folders.becameCache(path)) return;
        [[fallthrough]];
      case Kind::folderGone:
        folders.forget(path);
        writers.forgetBelow(path);
        return;
      case Kind::lookAgain:
        if (lookAgainAt) return;  // one look makes up for every overflow before it
        if (now - lastLookAgain < kFloodGap) {
          lookAgainBackoff.lengthen();
        } else {
          lookAgainBackoff.reset();
        }
        lookAgainAt = now + lookAgainBackoff.current();
        rootCheckDue = true;
        return;
      case Kind::rootChanged:
        rootCheckDue = true;
        return;
      case Kind::quietFolderStirred:
        folders.stirred(path);
        return;
    }
  }

  // In the order read, but for what a file did before it was closed in the
  // same batch: it is looked at once closed, and whether it was a link being
  // made need not be asked.
  void handleAll(const std::vector<FolderEvent>& events, Clock::time_point now) {
    using Kind = FolderEvent::Kind;
    std::unordered_set<std::string_view> closedLater;
    std::vector<bool> passedOver(events.size());
    for (std::size_t i = events.size(); i-- > 0;) {
      const FolderEvent& event = events[i];
      if (event.kind == Kind::fileWritten) closedLater.insert(event.relativePath);
      const bool changing = event.kind == Kind::fileChanging || event.kind == Kind::fileGrowing;
      passedOver[i] = changing && closedLater.contains(event.relativePath);
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (!passedOver[i]) handle(events[i], now);
    }
  }

  // A single file in a folder inotify alone covers (a local disk: none that
  // is polled, which a look could hang on) is looked at here: its line goes
  // out without a hop to an inserter's thread and back. More at once go to
  // the inserter's threads, side by side.
  void lookAtFiles() {
    const bool here = looks.size() == 1 && !(folders.poller() && folders.poller()->covers(folderOf(looks[0].relativePath)));
    for (auto& candidate : looks) {
      if (!here || !inserter.lookHere(candidate)) inserter.offer(std::move(candidate));
    }
    looks.clear();
  }

  // The changes the inserter found; the paths of the files it gave identifiers.
  std::vector<std::string> take(Change& change, Clock::time_point now) {
    std::vector<std::string> identified;
    for (auto& outcome : inserter.take()) {
      using Kind = FileInserter::Outcome::Kind;
      if (outcome.kind == Kind::notYet) {
        if (outcome.check) {
          writers.checked(outcome.relativePath, outcome.size, false, now);
        } else {
          writers.changed(outcome.relativePath, now);  // closed, but not whole yet
        }
        continue;
      }
      if (outcome.check) writers.checked(outcome.relativePath, outcome.size, true, now);
      if (outcome.kind != Kind::asset) continue;
      const bool isNew = !known.contains(outcome.key);  // else renamed, moved, touched, or another name of it
      known.add(outcome.relativePath, outcome.key);
      identified.push_back(outcome.relativePath);
      if (isNew) change.inserted.push_back(std::move(*outcome.asset));
      save.learnt(now);
    }
    return identified;
  }

  Clock::time_point nextDue() const {
    auto next = std::min({writers.nextDue(), known.nextDue(), follower.nextDue()});
    if (lookAgainAt) next = std::min(next, *lookAgainAt);
    if (save.due()) next = std::min(next, *save.due());
    return next;
  }

  // False when the watcher is to stop.
  bool wait() {
    const auto next = nextDue();
    int timeout = -1;
    if (next != Clock::time_point::max()) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(wait + 1, 0, 60000));
    }
    pollfd fds[] = {{stop.get(), POLLIN, 0},
                    {inotify ? inotify->descriptor() : -1, POLLIN, 0},
                    {folders.poller() ? folders.poller()->descriptor() : -1, POLLIN, 0},
                    {inserter.descriptor(), POLLIN, 0},
                    {follower.mountsDescriptor(), POLLPRI, 0},
                    {present.descriptor(), POLLIN, 0}};
    inotifyReady = false;
    if (::poll(fds, std::size(fds), timeout) > 0) {
      if (fds[0].revents & POLLIN) return false;
      if (fds[4].revents & (POLLPRI | POLLERR)) {  // something was mounted or unmounted
        folders.mountsChanged();
        rootCheckDue = true;
      }
      inotifyReady = fds[1].revents & POLLIN;
      // Signals are cleared here, before what they stand for is taken, and
      // only those poll reported: a read of each on every round would cost a
      // line three system calls.
      for (const std::size_t signal : {2, 3, 5}) {
        std::uint64_t count;
        if (fds[signal].revents & POLLIN) (void)!::read(fds[signal].fd, &count, sizeof count);
      }
    }
    return true;
  }

  void stopThread() {
    const std::uint64_t one = 1;
    (void)!::write(stop.get(), &one, sizeof one);
    thread.join();
  }

  void run(std::future<void> coveredBy) {
    baselineRecords.read(location.cacheDir, coverAtStart);
    coveredBy.wait();
    std::vector<FolderEvent> events;
    while (wait()) {
      auto now = Clock::now();
      present.moveInto(known, index, place.root);  // before any event: a file the fetch saw is known before it can leave
      if (inotifyReady) {
        inotify->drain([&](const inotify_event& event) {
          if (follower.handle(event) == RootFollower::Around::rootMayHaveMoved) rootCheckDue = true;
          if (watched) watched->handle(event);  // a folder may be on the way to the root and in the library
        });
      }
      if (watched) watched->collect(now, events);
      if (folders.poller()) folders.poller()->collect(now, events);
      handleAll(events, now);
      events.clear();
      lookAtFiles();  // before the root is checked: these paths are of the root as it was
      if (rootCheckDue || now >= follower.nextDue()) reconcile();
      if (lookAgainAt && now >= *lookAgainAt) {
        lookAgainAt.reset();
        lastLookAgain = now;
        if (folders.attached()) folders.lookAgain();
      }
      for (auto& due : writers.due(now)) looks.emplace_back(std::move(due.relativePath), due.lastSize, due.quiet);
      lookAtFiles();
      Change change;
      // Every process gives these files the identifiers a host is about to be told.
      if (const auto identified = take(change, now); !identified.empty()) index.publish(identified);
      if (!change.inserted.empty()) {
        std::stable_sort(change.inserted.begin(), change.inserted.end(),
                         [](const Asset& a, const Asset& b) { return a.creationDate < b.creationDate; });
        deliver(change);
      }
      now = Clock::now();
      for (const auto& gone : known.forgetDeparted(now)) {
        index.forget(gone);
        save.learnt(now);
      }
      if (save.takeDue(now)) {
        // Shared with listings in other processes: a file renamed after it was
        // reported keeps its identifier there too.
        index.save(MetadataIndex::Seen::someFiles, MetadataIndex::Afterwards::keepLoaded);
        returnFreedMemory();
      }
    }
  }
};

ChangeWatcher::ChangeWatcher(LibraryLocation location, MetadataIndex& index, Deliver deliver, Notice notice,
                             Present present)
    : state_(std::make_unique<State>(std::move(location), index, std::move(deliver), notice, present)) {
  state_->thread = std::thread([state = state_.get(), coveredBy = state_->covered.get_future()]() mutable {
    state->run(std::move(coveredBy));
  });
  try {
    state_->coverForTheFetch();
  } catch (...) {  // out of memory: the thread is not left running
    state_->covered.set_value();
    state_->stopThread();
    throw;
  }
  state_->covered.set_value();
}

void ChangeWatcher::filesPresent(std::vector<SeenFile> files) { state_->present.tell(std::move(files)); }

void ChangeWatcher::filesPresentIn(std::vector<PassedOverFolder> folders) {
  state_->present.tellFolders(std::move(folders));
}

std::optional<FolderMemory> ChangeWatcher::recordsOfItsStart() { return state_->baselineRecords.take(); }

ChangeWatcher::~ChangeWatcher() { state_->stopThread(); }

}  // namespace shotsieve::folder
