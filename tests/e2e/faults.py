#!/usr/bin/env python3
"""list under faults: an export directory that fills up or cannot sync, runs
killed at random moments, a damaged index, FIFOs where the state kept between
runs should be. Whatever happens, no file sits under a final name unless it
is byte for byte its original, and no run waits for ever.

usage: faults.py SHOTSIEVE MAKE_LIBRARY PRELOAD (a disk whose syncs fail, with FAILING_SYNC)

The full file system is a small tmpfs, which only root may mount; elsewhere
that part is skipped with the reason (the unit tests inject write failures
through the library seam instead).
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Watch, check, environment, finish, new_home, preloading, run, sample_png  # noqa: E402

shotsieve, make_library, preload = sys.argv[1:4]


home = new_home("shotsieve-faults-")
env = environment(home)
pictures = os.path.join(home, "Pictures")
subprocess.run([make_library, "library", pictures, "150", "0", "5"], check=True)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def list_into(directory):
    return run(shotsieve, home, "list", "7", directory)


# Every uuid's original, from one undisturbed run.
originals = {}
by_name = {name: os.path.join(d, name) for d, _, names in os.walk(pictures) for name in names}
for entry in list_into(os.path.join(home, "reference")):
    originals[entry["uuid"]] = sha256(by_name[entry["original_filename"]])
check("the reference run exported the library", len(originals) >= 100, len(originals))


def final_files_are_originals(directory):
    """Names every file under a final name that is not its original, byte for byte."""
    bad = []
    for name in os.listdir(directory):
        if name.endswith(".part") or name == "CACHEDIR.TAG":
            continue
        uuid = name.rsplit(".", 1)[0]
        if uuid not in originals or sha256(os.path.join(directory, name)) != originals[uuid]:
            bad.append(name)
    return bad


def leftovers():
    """The unfinished copies in the export folder and the index's temporary files."""
    cache = os.path.join(home, ".cache/shotsieve")
    parts = [n for n in os.listdir(exports) if n.endswith(".part")] if os.path.isdir(exports) else []
    temporaries = [n for n in os.listdir(cache) if ".tmp." in n] if os.path.isdir(cache) else []
    return parts, temporaries


# Killed at 20 random moments, one run after another into the same directory,
# with no index (so that some kills fall while it is written).
exports = os.path.join(home, "killed")
rng = random.Random(20261207)
left = 0
for moment in range(20):
    shutil.rmtree(os.path.join(home, ".cache"), ignore_errors=True) if moment % 2 else None
    proc = subprocess.Popen([shotsieve, "list", "7", exports], env=env, stdout=subprocess.DEVNULL)
    time.sleep(rng.uniform(0.0, 0.4))
    proc.kill()
    proc.wait()
    left += sum(map(len, leftovers()))
    bad = final_files_are_originals(exports) if os.path.isdir(exports) else []
    check(f"after the kill at moment {moment}, every final-named file is whole", not bad, bad[:3])
# What a kill leaves depends on its moment: a writer that surely ended leaves some too.
ended = subprocess.Popen(["true"])
ended.wait()
os.makedirs(os.path.join(home, ".cache/shotsieve"), exist_ok=True)
for path in (os.path.join(exports, f"{next(iter(originals))}.png.{ended.pid}-3-0badf00d.part"),
             os.path.join(home, f".cache/shotsieve/metadata-index.tmp.{ended.pid}.4242"),
             os.path.join(home, f".cache/shotsieve/folder-stamps.tmp.{ended.pid}.4242")):
    with open(path, "wb") as f:
        f.write(b"half")
answer = list_into(exports)
check("a run after the kills completes the cache", all(not e["ismissing"] for e in answer) and
      not final_files_are_originals(exports))
print(f"the kills left {left} unfinished files along the way")
check("... and removes what killed writers left (unfinished copies, index files)", leftovers() == ([], []),
      leftovers())

# A writer still at work keeps its files: one of a live process is left alone.
live = subprocess.Popen(["sleep", "60"])
for name in (f"{next(iter(originals))}.png.{live.pid}-0-0badf00d.part",):
    with open(os.path.join(exports, name), "wb") as f:
        f.write(b"half")
with open(os.path.join(home, f".cache/shotsieve/metadata-index.tmp.{live.pid}.12345"), "wb") as f:
    f.write(b"half")
os.utime(next(iter(by_name.values())), None)  # something for the index to write
list_into(exports)
check("the files of a live writer stay", leftovers() == ([f"{next(iter(originals))}.png.{live.pid}-0-0badf00d.part"],
                                                         [f"metadata-index.tmp.{live.pid}.12345"]), leftovers())
live.kill()
live.wait()

# A disk that cannot sync: a copy that may not survive a power cut is no copy.
unsynced = os.path.join(home, "unsynced")
answer = run(shotsieve, home, "list", "7", unsynced, env=preloading(env, preload, FAILING_SYNC="1"))
check("a disk that cannot sync: every entry missing", answer and all(e["ismissing"] for e in answer), answer[:1])
check("... and no copy under a final name", not [n for n in os.listdir(unsynced) if n.endswith(".png")],
      os.listdir(unsynced))

# A damaged metadata index never changes an answer: flipped bits give the
# answers of a run with no index, and the run after finds the index whole.
index = os.path.join(home, ".cache/shotsieve/metadata-index")
damaged_exports = os.path.join(home, "damaged")


def answers():
    today = subprocess.run([shotsieve, "list-today"], env=env, capture_output=True, check=True).stdout
    return json.loads(today), list_into(damaged_exports)


shutil.rmtree(os.path.join(home, ".cache"))
fresh = answers()
whole = open(index, "rb").read()
changed = []
for trial in range(20):
    damaged = bytearray(whole)
    for _ in range(rng.randint(1, 3)):
        bit = rng.randrange(len(damaged) * 8)
        damaged[bit // 8] ^= 1 << (bit % 8)
    with open(index, "wb") as f:
        f.write(damaged)
    if answers() != fresh:
        changed.append(trial)
    before = os.stat(index)
    again = answers()
    after = os.stat(index)
    if again != fresh or (before.st_ino, before.st_mtime_ns) != (after.st_ino, after.st_mtime_ns):
        changed.append(f"{trial} after")
check("flipped bits in the index change no answer, and the next run finds it whole", not changed, changed)

# What is not a regular file at the names of the state kept between runs (a
# FIFO: opened to write, or to read with no writer, it would wait for ever):
# the answers of a run without them, at once, and a watch line. (The index's
# lock stays a file: a watch that cannot lock the index writes no journal.)
for name in ("folder-stamps", "metadata-index", "metadata-index.journal"):
    path = os.path.join(home, ".cache/shotsieve", name)
    if os.path.exists(path):
        os.remove(path)
    os.mkfifo(path, 0o600)
os.makedirs(os.path.join(home, ".config"), exist_ok=True)
os.mkfifo(os.path.join(home, ".config/user-dirs.dirs"), 0o600)
beside = json.loads(subprocess.run([shotsieve, "list-today"], env=env, capture_output=True, check=True,
                                   timeout=60).stdout)
check("FIFOs at the state's names: the same answer", beside == fresh[0], beside["count"])
watch = Watch(shotsieve, home)
os.makedirs(os.path.join(pictures, "Screenshots"), exist_ok=True)
with open(os.path.join(pictures, "Screenshots/beside-fifos.png"), "wb") as f:
    f.write(sample_png(make_library))
line = watch.line(30)
check("FIFOs at the state's names: a watch line", line is not None and line["event"] == "screenshot-added", line)
meanwhile = run(shotsieve, home, "list-today", timeout=60)
check("... and a listing meanwhile", meanwhile["count"] == beside["count"] + 1, (meanwhile["count"], beside["count"]))
watch.stop()
os.remove(os.path.join(pictures, "Screenshots/beside-fifos.png"))  # the library as the reference run saw it

# An export directory on a file system that fills up.
full = os.path.join(home, "full")
os.makedirs(full)
mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "shotsieve-full", full],
                         capture_output=True).returncode == 0
if not mounted:
    print("skipped the full file system: mounting a tmpfs is not allowed here (needs root)")
else:
    try:
        answer = list_into(os.path.join(full, "exports"))
        missing = [e for e in answer if e["ismissing"]]
        check("entries that did not fit come out missing", 0 < len(missing) < len(answer), len(missing))
        check("a missing entry keeps its file name and has no path",
              all(e["path"] == "" and e["original_filename"] for e in missing))
        check("every final-named file on the full disk is whole",
              not final_files_are_originals(os.path.join(full, "exports")))
        parts = [n for n in os.listdir(os.path.join(full, "exports")) if n.endswith(".part")]
        check("no .part file is left by failed copies", not parts, parts[:3])
    finally:
        subprocess.run(["umount", full], check=False)

shutil.rmtree(home, ignore_errors=True)
finish()
