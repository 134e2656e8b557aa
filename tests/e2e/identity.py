#!/usr/bin/env python3
"""A screenshot keeps its identity when it is touched, renamed or moved.

usage: identity.py SHOTSIEVE MAKE_LIBRARY

Real folders in a temporary HOME: renames and moves under a running watch,
a file saved over another through a temporary file, the watcher and a
listing in two processes, and a touch through a FUSE mount (bindfs; that
part needs root and skips otherwise).
"""
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import check, environment, finish, new_home  # noqa: E402
from schemas import validate  # noqa: E402
from watching import Watch, sample_png, screenshot, uuids  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
sample = sample_png(make_library)


def run(home, *args):
    out = subprocess.run([shotsieve, *args], env=environment(home), capture_output=True, check=True)
    answer = json.loads(out.stdout)
    check(f"the {args[0]} answer matches its schema",
          not validate({"list": "list-result", "list-today": "today-result"}[args[0]], answer))
    return answer


def today(home):
    return sorted(item["uuid"] for item in run(home, "list-today")["items"])


def other_png(number):
    """Another image than the sample."""
    return sample_png(make_library, f"shot tool {number}")


home = new_home("shotsieve-identity-")
shots = os.path.join(home, "Pictures/Screenshots")
exports = os.path.join(home, "exports")
screenshot(os.path.join(shots, "one.png"), sample)
screenshot(os.path.join(shots, "two.png"), other_png(1000))
listed = run(home, "list", "7", exports)
before = today(home)
watch = Watch(shotsieve, home)
os.rename(os.path.join(shots, "one.png"), os.path.join(shots, "renamed.png"))
os.makedirs(os.path.join(shots, "sorted/2026"))
os.rename(os.path.join(shots, "two.png"), os.path.join(shots, "sorted/2026/two.png"))
check("a rename and a move into a new folder give no line", watch.lines(0, 0, quiet=3) == [])
check("list-today shows the same two uuids", today(home) == before, today(home))
run(home, "list", "7", exports)
copies = sorted(n for n in os.listdir(exports) if n != "CACHEDIR.TAG")
check("the cache holds two copies, not three", copies == sorted(e["uuid"] + ".png" for e in listed), copies)

# Saved over an existing name through a temporary file: a new file, a new identifier.
screenshot(os.path.join(shots, "renamed.png"), other_png(1234))
got = uuids(watch.lines(1, 5))
check("a file saved over another gives one line", len(got) == 1, got)
check("... with a new uuid", got and got[0] not in before, got)

# Reported by the watcher, renamed, then listed by another process: one identity.
screenshot(os.path.join(shots, "fresh.png"), other_png(777))
reported = uuids(watch.lines(1, 5))
time.sleep(1.5)  # the watcher writes what it learnt down a second after
os.rename(os.path.join(shots, "fresh.png"), os.path.join(shots, "fresh-sorted.png"))
check("the watcher's uuid of a file renamed since is the listing's", reported and reported[0] in today(home),
      (reported, today(home)))
check("no line for that rename either", watch.lines(0, 0, quiet=2) == [])
watch.stop()
shutil.rmtree(home)

# A touch through a FUSE mount, where the file system keeps no birth time.
if os.geteuid() != 0 or not shutil.which("bindfs") or not os.path.exists("/dev/fuse"):
    print("skipped the FUSE part: needs root, bindfs and /dev/fuse")
else:
    home = new_home("shotsieve-identity-fuse-")
    backing = os.path.join(home, "backing")
    pictures = os.path.join(home, "Pictures")
    os.makedirs(os.path.join(backing, "Screenshots"))
    os.makedirs(pictures)
    screenshot(os.path.join(backing, "Screenshots/shot.png"), sample)
    if subprocess.run(["bindfs", backing, pictures]).returncode != 0:
        print("skipped the FUSE part: bindfs could not mount here")
    else:
        try:
            before = today(home)
            watch = Watch(shotsieve, home)
            subprocess.run(["touch", os.path.join(pictures, "Screenshots/shot.png")], check=True)
            check("a touch through the mount gives no line", watch.lines(0, 0, quiet=3) == [])
            check("a touch through the mount keeps the uuid", today(home) == before, (before, today(home)))
            watch.stop()
        finally:
            subprocess.run(["fusermount", "-u", pictures])
    shutil.rmtree(home, ignore_errors=True)
finish()
