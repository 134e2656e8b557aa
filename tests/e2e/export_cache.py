#!/usr/bin/env python3
"""Export folders where the library and the command line meet: the Pictures
folder itself and a cache inside it (never read back, by a listing or a
watch), a name that is not UTF-8 (not used), a file, a link to a folder.
(Which files of a folder are ours, the prune, planted links, folders others
can write and stale copies are in the export's unit tests.)

usage: export_cache.py SHOTSIEVE
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, environment, finish, new_home, run, validate, Watch  # noqa: E402

shotsieve = sys.argv[1]
DAY = 86400
TAG = b"Signature: 8a477f597d28d172789f06886806bc55"
OURS = "40B314D6-141D-5673-93BE-13AAE5A54B73"


def png(width, height, software="gnome-screenshot"):
    """A valid PNG of one colour."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    data = zlib.compress(b"\0" * (width * 3 + 1) * height)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"tEXt", b"Software\0" + software.encode()) + chunk(b"IDAT", data) + chunk(b"IEND", b""))


def write(path, data, age_days=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if age_days is not None:
        when = time.time() - age_days * DAY
        os.utime(path, (when, when))


def listing(home, folder, days="7"):
    return run(shotsieve, home, "list", days, folder)


def snapshot(folder):
    """Every entry below a folder with its kind, size and modification time."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(folder):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            info = os.lstat(path)
            seen[os.path.relpath(path, folder)] = (info.st_mode, info.st_size, info.st_mtime_ns)
    return seen


home = new_home("shotsieve-cache-")
pictures = os.path.join(home, "Pictures")
for i in range(3):
    write(os.path.join(pictures, f"Screenshots/shot-{i + 1}.png"), png(64 + i, 32))

# The library itself, and a cache inside it: nothing of the library is removed,
# and nothing is listed back.
write(os.path.join(pictures, "Holidays/beach.png"), png(100, 50, software="GIMP"), 60)
write(os.path.join(pictures, "Holidays/" + OURS + ".png"), png(100, 50, software="GIMP"), 60)
library_before = snapshot(pictures)
counts = [len(listing(home, pictures)) for _ in range(3)]
check("the Pictures folder as export directory: the same count three times", counts == [3, 3, 3], counts)
check("the Pictures folder as export directory: nothing copied, removed or tagged",
      snapshot(pictures) == library_before, set(snapshot(pictures)) ^ set(library_before))
check("the Pictures folder as export directory: every entry missing",
      all(e["ismissing"] and e["path"] == "" for e in listing(home, pictures)))
cache = os.path.join(pictures, "Screenshots/cache")
watch = Watch(shotsieve, home)
answers = [listing(home, cache) for _ in range(3)]
check("a cache inside Pictures: the same three screenshots every run",
      [len(a) for a in answers] == [3, 3, 3] and all(not e["ismissing"] for a in answers for e in a),
      [len(a) for a in answers])
check("a cache inside Pictures: one copy per screenshot",
      sorted(os.listdir(cache)) == sorted(["CACHEDIR.TAG"] + [e["uuid"] + ".png" for e in answers[0]]),
      len(os.listdir(cache)))
tag = os.path.join(cache, "CACHEDIR.TAG")
check("a cache inside Pictures is tagged", os.path.exists(tag) and open(tag, "rb").read().startswith(TAG))
check("a cache inside Pictures: list-today counts the same",
      run(shotsieve, home, "list-today")["count"] == watch.start["baseline_count"] == 3)
rest = watch.lines(0, 0, quiet=1.5)
check("a cache inside Pictures: watch reports none of the copies", rest == [], rest)
watch.stop()
shutil.rmtree(cache)

# A name that is not UTF-8 cannot be answered with a path that opens: it is
# not used, and no other folder is used in its place.
raw = os.path.join(os.fsencode(home), b"caf\xe9")
out = subprocess.run([os.fsencode(shotsieve), b"list", b"7", raw], env=environment(home), capture_output=True)
answer = json.loads(out.stdout)
check("an answer for a folder name that is not UTF-8 matches its schema", not validate("list-result", answer))
check("a folder name that is not UTF-8 is not used",
      not os.path.exists(raw) and not os.path.exists(os.path.join(home, "caf\ufffd")), os.listdir(os.fsencode(home)))
check("... every entry missing", answer and all(e["ismissing"] and e["path"] == "" for e in answer), answer[:1])

# Odd folders: a file, a link to a folder of ours.
write(os.path.join(home, "a-file"), b"data")
answer = listing(home, os.path.join(home, "a-file"))
check("a file as export directory: every entry missing, the file untouched",
      all(e["ismissing"] for e in answer) and open(os.path.join(home, "a-file"), "rb").read() == b"data")
shots = os.path.join(home, "shots")
listing(home, shots)
os.symlink(shots, os.path.join(home, "shots-link"))
answer = listing(home, os.path.join(home, "shots-link"))
check("a link to a folder of the user's: used", all(not e["ismissing"] for e in answer), answer)
open(answer[0]["path"], "wb").close()  # emptied since it was made, by a host say
sizes = [(os.path.getsize(e["path"]), os.path.getsize(os.path.join(pictures, "Screenshots", e["original_filename"])))
         for e in listing(home, shots)]
check("a copy emptied since it was made is copied again", sizes and all(a == b for a, b in sizes), sizes)
shutil.rmtree(home)
finish()
