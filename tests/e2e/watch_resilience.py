#!/usr/bin/env python3
"""watch on real folders in the situations that used to blind it.

usage: watch_resilience.py SHOTSIEVE MAKE_LIBRARY

A Pictures folder made after the start, removed and made again; folders
beyond the inotify watch limit and an overflowing event queue (both need to
lower a system limit for a moment, so only as root; otherwise those parts are
skipped with the reason); a reader that goes away. Every line is checked:
one per screenshot, no duplicates, nothing on standard error, and an idle
process that sleeps.
"""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import check, environment, finish, new_home  # noqa: E402
from schemas import validate  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]


class Watch:
    """A running `shotsieve watch` in a temporary HOME."""

    def __init__(self, home, default_sigpipe=True):
        self.home = home
        self.err = open(os.path.join(home, "watch.err"), "wb")
        env = environment(home)
        self.proc = subprocess.Popen([shotsieve, "watch"], env=env, stdout=subprocess.PIPE, stderr=self.err,
                                     restore_signals=default_sigpipe)
        self.buffer = b""
        self.start = self.line(10)

    def line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\n", 1)
        line = json.loads(text)
        problems = validate("watch-line", line)
        if problems:
            check("a watch line matches its schema", False, problems)
        return line

    def lines(self, count, timeout, quiet=1.0):
        """Up to `count` lines within `timeout`, then any more that come in a quiet spell."""
        got, deadline = [], time.monotonic() + timeout
        while len(got) < count and time.monotonic() < deadline:
            line = self.line(deadline - time.monotonic())
            if line is not None:
                got.append(line)
        while True:
            line = self.line(quiet)
            if line is None:
                return got
            got.append(line)

    def ticks(self):
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.err.close()
        with open(os.path.join(self.home, "watch.err"), "rb") as f:
            check("nothing on standard error", f.read() == b"")


sample_path = os.path.join(tempfile.gettempdir(), f"shotsieve-e2e-{os.getpid()}.png")
subprocess.run([make_library, "png", sample_path], check=True)
with open(sample_path, "rb") as f:
    sample = f.read()
os.remove(sample_path)


def screenshot(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "wb") as f:  # saved under another name and renamed in, as tools do
        f.write(sample)
    os.rename(path + ".tmp", path)


def uuids(lines):
    return [line["asset"]["uuid"] for line in lines if line.get("event") == "screenshot-added"]


def lower(limit_file, value):
    """Lowers a system limit; returns the old value, or None when that is not allowed here."""
    try:
        with open(limit_file) as f:
            saved = f.read()
        with open(limit_file, "w") as f:
            f.write(f"{value}\n")
        return saved
    except OSError:
        return None


def restore(limit_file, saved):
    with open(limit_file, "w") as f:
        f.write(saved)


def watch_under_lowered(limit_file, value, home, part):
    """A watcher started while a system limit is lowered, restored at once (the
    watcher's own shortage is what is tested, nobody else's); None, with the
    reason, where the limit cannot be lowered."""
    saved = lower(limit_file, value)
    if saved is None:
        print(f"skipped the {part} part: cannot lower {limit_file} here (needs root)")
        return None
    try:
        return Watch(home)
    finally:
        restore(limit_file, saved)


# No Pictures folder at the start, then one made with a screenshot in it.
home = new_home("shotsieve-watch-")
watch = Watch(home)
check("start line without a Pictures folder", watch.start == {"event": "watching", "baseline_count": 0}, watch.start)
os.makedirs(os.path.join(home, "Pictures/Screenshots"))
time.sleep(0.2)
screenshot(os.path.join(home, "Pictures/Screenshots/first.png"))
check("a screenshot in a Pictures folder made later", len(uuids(watch.lines(1, 5))) == 1)

# Pictures removed and made again.
shutil.rmtree(os.path.join(home, "Pictures"))
time.sleep(0.2)
screenshot(os.path.join(home, "Pictures/Screenshots/second.png"))
check("a screenshot in a Pictures folder made again", len(uuids(watch.lines(1, 5))) == 1)

# A reader that goes away: the process ends, it does not spin, whether
# SIGPIPE ends it or (ignored, as Python's children inherit it) a failed write.
watch.proc.kill()
watch.proc.wait()
watch.err.close()
# Also when nothing is written after the reader left.
for default_sigpipe in (True, False):
    for idle in (False, True):
        watch = Watch(home, default_sigpipe)
        watch.proc.stdout.close()
        if not idle:
            screenshot(os.path.join(home, f"Pictures/Screenshots/unread-{default_sigpipe}.png"))
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
        screenshot(os.path.join(folder, "beyond.png"))
    started = time.monotonic()
    got = uuids(watch.lines(len(folders), 8, quiet=2))
    check("every folder beyond the watch limit reported, within 8 s",
          len(got) == len(folders) and time.monotonic() - started < 11, f"{len(got)} of {len(folders)}")
    check("no duplicates beyond the watch limit", len(set(got)) == len(got))
    before = watch.ticks()
    time.sleep(5)
    idle = watch.ticks() - before
    check("idle beyond the watch limit costs under 10 ticks in 5 s", idle < 10, f"{idle} ticks")
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
    before = watch.ticks()
    time.sleep(3)
    idle = watch.ticks() - before
    check("back to sleep after the flood", idle <= 2, f"{idle} ticks in 3 s")
    watch.stop()
shutil.rmtree(home)

finish()
