#!/usr/bin/env python3
"""A screenshot keeps its identity when it is touched, renamed or moved.

usage: identity.py SHOTSIEVE MAKE_LIBRARY

Real folders in a temporary HOME: renames and moves under a running watch,
a file saved over another through a temporary file, the watcher and a
listing in two processes, four listings at once into one folder, and a touch through a FUSE mount (bindfs; that
part needs root and skips otherwise).
"""
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import check, copies, environment, finish, new_home, Watch, sample_png, screenshot, uuids  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
sample = sample_png(make_library)


def run(home, *args):
    return harness.run(shotsieve, home, *args)


def today(home):
    return sorted(item["uuid"] for item in run(home, "list-today")["items"])


def other_png(number):
    """Another image than the sample."""
    return sample_png(make_library, f"shot tool {number}")


def library_with(name, prefix):
    """A new HOME with one screenshot `name` in Pictures/Screenshots: (home, pictures, shots, exports)."""
    home = new_home(f"shotsieve-identity-{prefix}")
    pictures = os.path.join(home, "Pictures")
    shots = os.path.join(pictures, "Screenshots")
    screenshot(os.path.join(shots, name), sample)
    return home, pictures, shots, os.path.join(home, "exports")


home, _, shots, exports = library_with("one.png", "")
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
check("the cache holds two copies, not three", copies(exports) == sorted(e["uuid"] + ".png" for e in listed),
      copies(exports))

# Saved over an existing name through a temporary file: a new file, a new identifier.
screenshot(os.path.join(shots, "renamed.png"), other_png(1234))
got = uuids(watch.lines(1, 30))
check("a file saved over another gives one line", len(got) == 1, got)
check("... with a new uuid", got and got[0] not in before, got)

# Reported by the watcher, renamed, then listed by another process: one identity.
screenshot(os.path.join(shots, "fresh.png"), other_png(777))
reported = uuids(watch.lines(1, 30, quiet=0))  # renamed at once: before the watcher's next save of the index
os.rename(os.path.join(shots, "fresh.png"), os.path.join(shots, "fresh-sorted.png"))
check("the watcher's uuid of a file renamed since is the listing's", reported and reported[0] in today(home),
      (reported, today(home)))
check("no line for that rename either", watch.lines(0, 0, quiet=2) == [])
watch.stop()
shutil.rmtree(home)

home, pictures, shots, exports = library_with("one.png", "many-")
# Four listings at once into one folder: every entry has its copy, whole.
for number in range(40):
    screenshot(os.path.join(shots, f"many-{number}.png"), other_png(2000 + number))
runs = [subprocess.Popen([shotsieve, "list", "7", exports], env=environment(home), stdout=subprocess.PIPE)
        for _ in range(4)]
answers = [json.loads(p.communicate()[0]) for p in runs]
originals = harness.originals(pictures)
whole = all(not e["ismissing"] and e["path"] and open(e["path"], "rb").read() ==
            open(originals[e["original_filename"]], "rb").read() for a in answers for e in a)
check("four listings at once: every entry has its whole copy",
      whole and all(len(a) == 41 for a in answers), [sum(e["ismissing"] for e in a) for a in answers])
shutil.rmtree(home)

# A detour outside the screenshots keeps the uuid: renamed to a plain name,
# then its folder renamed away (or the file moved up out of it) while a
# listing runs, then back.
home, pictures, shots, exports = library_with("shot.png", "detour-")
first = [e["uuid"] for e in run(home, "list", "7", exports)]
watch = Watch(shotsieve, home)
os.rename(os.path.join(shots, "shot.png"), os.path.join(shots, "renamed-a.png"))
for away, back in ((shots, os.path.join(pictures, "Elsewhere")),
                   (os.path.join(shots, "renamed-a.png"), os.path.join(pictures, "renamed-a.png"))):
    os.rename(away, back)
    check(f"away ({os.path.basename(back)}): not a screenshot meanwhile", run(home, "list", "7", exports) == [])
    os.rename(back, away)
    again = [e["uuid"] for e in run(home, "list", "7", exports)]
    check(f"back from {os.path.basename(back)}: list gives the same uuid", again == first, (again, first))
    check(f"back from {os.path.basename(back)}: so does list-today", today(home) == first or not first, today(home))
reported = uuids(watch.lines(0, 0, quiet=2))
check("the watch gives no other uuid for it", all(u in first for u in reported), (reported, first))
watch.stop()
check("one copy in the export folder", len(copies(exports)) == 1, copies(exports))
shutil.rmtree(home)

# A screenshot still being written does not exist yet, for the listings as
# for the watch: absent while it is written in pieces, then listed, copied
# whole and reported once.
home, _, shots, exports = library_with("before.png", "pieces-")
watch = Watch(shotsieve, home)
data = other_png(4242)
with open(os.path.join(shots, "slow.png"), "wb") as f:
    for piece in range(3):
        f.write(data[piece * len(data) // 3:(piece + 1) * len(data) // 3])
        f.flush()
        if piece < 2:
            time.sleep(0.7)
            check(f"piece {piece + 1} of 3: not in list-today", len(today(home)) == 1, today(home))
            check(f"piece {piece + 1} of 3: not in list", len(run(home, "list", "7", exports)) == 1)
answer = [e for e in run(home, "list", "7", exports) if e["original_filename"] == "slow.png"]
check("written: listed with its whole copy", len(answer) == 1 and not answer[0]["ismissing"] and
      open(answer[0]["path"], "rb").read() == data, answer)
check("written: one watch line", len(uuids(watch.lines(1, 30))) == 1)
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
