#!/usr/bin/env python3
"""watch on real folders in the situations that used to blind it.

usage: watch_resilience.py SHOTSIEVE MAKE_LIBRARY [tsan]

A Pictures folder made after the start, removed and made again; folders
beyond the inotify watch limit and an overflowing event queue (both need to
lower a system limit for a moment, so only as root; otherwise those parts are
skipped with the reason); a reader that goes away. Every line is checked:
one per screenshot, no duplicates, nothing on standard error, and an idle
process that sleeps.
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, finish, new_home, Watch, lower, restore, sample_png, screenshot, uuids  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
# ThreadSanitizer's runtime keeps a thread of its own at work while the watch sleeps.
measure_idle = sys.argv[3:] != ["tsan"]
sanitized = sys.argv[3:] != []
sample = sample_png(make_library)


def watch_under_lowered(limit_file, value, home, part):
    """A watcher started while a system limit is lowered, restored at once (the
    watcher's own shortage is what is tested, nobody else's); None, with the
    reason, where the limit cannot be lowered."""
    saved = lower(limit_file, value)
    if saved is None:
        print(f"skipped the {part} part: cannot lower {limit_file} here (needs root)")
        return None
    try:
        return Watch(shotsieve, home)
    finally:
        restore(limit_file, saved)


# No Pictures folder at the start, then one made with a screenshot in it.
home = new_home("shotsieve-watch-")
watch = Watch(shotsieve, home)
check("start line without a Pictures folder", watch.start == {"event": "watching", "baseline_count": 0}, watch.start)
os.makedirs(os.path.join(home, "Pictures/Screenshots"))
time.sleep(0.2)
screenshot(os.path.join(home, "Pictures/Screenshots/first.png"), sample)
check("a screenshot in a Pictures folder made later", len(uuids(watch.lines(1, 30))) == 1)

# Pictures removed and made again.
shutil.rmtree(os.path.join(home, "Pictures"))
time.sleep(0.2)
screenshot(os.path.join(home, "Pictures/Screenshots/second.png"), sample)
check("a screenshot in a Pictures folder made again", len(uuids(watch.lines(1, 30))) == 1)

watch.proc.kill()
watch.proc.wait()
watch.err.close()

# A worker killed (by the OOM killer, say) ends the watch with its signal: a
# fresh worker would not know what this one reported since the last hand-over.
watch = Watch(shotsieve, home)
worker = watch.worker()
check("the watch runs in a confined worker", worker != watch.proc.pid)
os.kill(worker, 9)
try:
    ended = watch.proc.wait(timeout=5)
except subprocess.TimeoutExpired:
    ended = None
    watch.proc.kill()
check("a killed worker ends the watch with its signal, not a status of success", ended == -9, ended)
check("... and nothing more is reported", watch.proc.stdout.read() == b"")
watch.err.close()

# A reader that goes away: the process ends, it does not spin, whether
# SIGPIPE ends it or (ignored, as Python's children inherit it) a failed write.
# Also when nothing is written after the reader left.
for default_sigpipe in (True, False):
    for idle in (False, True):
        watch = Watch(shotsieve, home, default_sigpipe)
        watch.proc.stdout.close()
        if not idle:
            screenshot(os.path.join(home, f"Pictures/Screenshots/unread-{default_sigpipe}.png"), sample)
        name = f"the watcher ends when its reader has gone (default SIGPIPE: {default_sigpipe}, idle: {idle})"
        try:
            watch.proc.wait(timeout=5)
            check(name, True)
        except subprocess.TimeoutExpired:
            check(name, False)
            watch.proc.kill()
        watch.err.close()
shutil.rmtree(home)

# More folders than inotify allows watches.
WATCHES = "/proc/sys/fs/inotify/max_user_watches"
home = new_home("shotsieve-watch-")
folders = [os.path.join(home, "Pictures/Screenshots", f"{year}", f"{month:02}") for year in (2024, 2025) for month in range(1, 13)]
for folder in folders:
    os.makedirs(folder)
watch = watch_under_lowered(WATCHES, 20, home, "watch-limit")
if watch:
    time.sleep(0.5)
    for folder in folders:
        screenshot(os.path.join(folder, "beyond.png"), sample)
    started = time.monotonic()
    got = uuids(watch.lines(len(folders), 8, quiet=2))
    check("every folder beyond the watch limit reported, within 8 s",
          len(got) == len(folders) and time.monotonic() - started < 11, f"{len(got)} of {len(folders)}")
    check("no duplicates beyond the watch limit", len(set(got)) == len(got))
    if measure_idle:
        before = watch.cpu_ms()
        time.sleep(5)
        idle = watch.cpu_ms() - before
        check("idle beyond the watch limit: under 5 % of a core over 5 s", idle < 250, f"{idle:.1f} ms")
    watch.stop()
shutil.rmtree(home)

# A flood that overflows the event queue.
QUEUE = "/proc/sys/fs/inotify/max_queued_events"
home = new_home("shotsieve-watch-")
os.makedirs(os.path.join(home, "Pictures/Screenshots/flood"))
watch = watch_under_lowered(QUEUE, 64, home, "overflow")
if watch:
    for i in range(5000):
        with open(os.path.join(home, f"Pictures/Screenshots/flood/f{i}.png"), "wb") as f:
            f.write(sample)
    got = uuids(watch.lines(5000, 60, quiet=3))
    check("every file of an overflowing flood reported", len(got) == 5000, f"{len(got)} of 5000")
    check("no duplicates after overflows", len(set(got)) == len(got))
    if measure_idle:
        before = watch.cpu_ms()
        time.sleep(3)
        idle = watch.cpu_ms() - before
        check("back to sleep after the flood: under 5 % of a core over 3 s", idle < 150, f"{idle:.1f} ms")
    watch.stop()
shutil.rmtree(home)

# A small stack limit, which sizes every thread's stack: the watch still
# starts and reports (under a sanitizer, whose frames are larger, it need not).
if sanitized:
    print("skipped the small-stack part: a sanitizer's frames need more stack")
else:
    home = new_home("shotsieve-watch-")
    watch = Watch(shotsieve, home, command=["prlimit", "--stack=32768", "--"])
    check("a watch under a 32 KiB stack limit starts", watch.start and watch.start.get("event") == "watching",
          watch.start)
    screenshot(os.path.join(home, "Pictures/Screenshots/small-stack.png"), sample)
    check("... and reports a screenshot", len(uuids(watch.lines(1, 30))) == 1)
    watch.stop()
    shutil.rmtree(home)

finish()
