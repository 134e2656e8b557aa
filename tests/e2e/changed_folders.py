#!/usr/bin/env python3
"""A listing reads again only the folders that changed, and misses no change.

usage: changed_folders.py SHOTSIEVE MAKE_LIBRARY

Each change is made after an indexed listing whose folders had settled, and
must be found by the next listing: a screenshot added to a folder whose
modification time is then put back, a screenshot rewritten in place with
its size and times kept, a file renamed in from outside the library, one
removed; files a short window passed over by what the index knew are found
by a longer one; a damaged record of the folders costs nothing but time; a
watch that passed over a folder at its start still knows its files, also
when the record's names of them are damaged.
"""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, environment, finish, new_home, Watch, sample_png, screenshot  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
home = new_home("shotsieve-changed-")
pictures = os.path.join(home, "Pictures")
exports = os.path.join(home, "exports")
stamps = os.path.join(home, ".cache/shotsieve/folder-stamps")


def listed(days):
    out = subprocess.run([shotsieve, "list", str(days), exports], env=environment(home), capture_output=True, check=True)
    return {item["original_filename"]: item for item in json.loads(out.stdout)}


def put_back(folder, times):
    os.utime(folder, ns=times)


def times_of(path):
    info = os.stat(path)
    return (info.st_atime_ns, info.st_mtime_ns)


# One folder per change: a folder changed just before a listing is read
# again by the next one anyway, which would hide what is tested here.
shots = {name: os.path.join(pictures, name, "Screenshots") for name in ("added", "rewritten", "renamed", "removed")}
for name, folder in shots.items():
    screenshot(os.path.join(folder, f"{name}-first.png"), sample_png(make_library, f"tool {name}"))
old = os.path.join(pictures, "Archive", "Screenshots")
for year in (2019, 2020):
    screenshot(os.path.join(old, f"Screenshot from {year}-05-01 10-00-00.png"), sample_png(make_library, f"tool {year}"))
# A link there, dated by its name before both: it is looked at every time.
os.symlink(os.path.join(old, "Screenshot from 2019-05-01 10-00-00.png"),
           os.path.join(old, "Screenshot from 2018-01-01 10-00-00.png"))
# A folder of old photos, none a screenshot: passed over by a watch's start.
camera = os.path.join(pictures, "Camera", "2019")
os.makedirs(camera)
for photo in ("IMG_0001.png", "IMG_0002.png"):
    with open(os.path.join(camera, photo), "wb") as f:
        f.write(sample_png(make_library))
    os.utime(os.path.join(camera, photo), (1557000000, 1557000000))
outside = os.path.join(home, "Downloads")
os.makedirs(outside)
screenshot(os.path.join(outside, "moved-in.png"), sample_png(make_library, "tool moved"))

time.sleep(3.5)  # older than a file system's coarsest clock: the next listing's record of them holds
first = listed(7)
check("the first listing lists the new screenshots", sorted(first) == sorted(f"{n}-first.png" for n in shots), sorted(first))
check("it leaves a record of the folders", os.path.exists(stamps))
check("a second listing with nothing changed gives the same answer", listed(7) == first)

# Added, then the folder's modification time put back: its change time still moved.
before = times_of(shots["added"])
screenshot(os.path.join(shots["added"], "added-second.png"), sample_png(make_library, "tool added 2"))
put_back(shots["added"], before)
# Rewritten in place: same size, same times, other pixels.
path = os.path.join(shots["rewritten"], "rewritten-first.png")
file_times = times_of(path)
new_content = sample_png(make_library, "tool REWRITTEN")  # as long a text as "tool rewritten": the same size
check("the rewritten file keeps its size", len(new_content) == os.path.getsize(path))
with open(path, "r+b") as f:
    f.write(new_content)
os.utime(path, ns=file_times)  # its folder does not change at all
# Renamed in from outside the library, the folder's time put back.
before = times_of(shots["renamed"])
os.rename(os.path.join(outside, "moved-in.png"), os.path.join(shots["renamed"], "moved-in.png"))
put_back(shots["renamed"], before)
# Removed, the folder's time put back.
before = times_of(shots["removed"])
os.remove(os.path.join(shots["removed"], "removed-first.png"))
put_back(shots["removed"], before)

second = listed(7)
check("a screenshot added to a folder whose time was put back is listed", "added-second.png" in second, sorted(second))
check("a file renamed in from outside is listed", "moved-in.png" in second, sorted(second))
check("a removed screenshot is no longer listed", "removed-first.png" not in second, sorted(second))
rewritten = second.get("rewritten-first.png", {"path": os.devnull, "uuid": None})
with open(rewritten["path"], "rb") as f:
    check("the copy of a screenshot rewritten in place is its new content", f.read() == new_content)
check("its identifier stays", rewritten["uuid"] == first["rewritten-first.png"]["uuid"])

# The old screenshots were passed over by the week's window, by what the index knew.
since_2018 = listed(3000)
check("a window that reaches a passed-over folder's files finds them, whatever its link",
      {"Screenshot from 2019-05-01 10-00-00.png", "Screenshot from 2020-05-01 10-00-00.png"} <= set(since_2018),
      sorted(since_2018))
longer = listed(4000)
check("a longer window finds what a short one passed over",
      {"Screenshot from 2019-05-01 10-00-00.png", "Screenshot from 2020-05-01 10-00-00.png"} <= set(longer), sorted(longer))
check("and what the week holds is the same", {k: v for k, v in longer.items() if k in second} == second)

# A file passed over keeps its index entry, and with it the identifier it
# carried through a rename, also when the index is written for a change
# elsewhere (a removal) and lets go of the entries of files not met.
renamed_old = "Screenshot from 2019-05-01 10-00-00 (kept).png"
os.rename(os.path.join(old, "Screenshot from 2019-05-01 10-00-00.png"), os.path.join(old, renamed_old))
carried = listed(4000)[renamed_old]["uuid"]
check("a rename keeps the identifier", carried == longer["Screenshot from 2019-05-01 10-00-00.png"]["uuid"])
time.sleep(3.5)
listed(7)  # the old folder's record holds from now on
listed(7)  # and its files are passed over
os.remove(os.path.join(shots["added"], "added-second.png"))
listed(7)
check("a file passed over keeps the identifier it carried through a rename",
      listed(4000)[renamed_old]["uuid"] == carried)

# A damaged record: every folder is read again, the answer stays.
with open(stamps, "r+b") as f:
    f.seek(40)
    f.write(b"\xff\xfe\xfd\xfc")
before = times_of(shots["added"])
screenshot(os.path.join(shots["added"], "added-third.png"), sample_png(make_library, "tool added 3"))
put_back(shots["added"], before)
third = listed(7)
check("with its record of the folders damaged, a listing still finds each screenshot",
      sorted(third) == sorted([n for n in second if n != "added-second.png"] + ["added-third.png"]), sorted(third))
check("and writes the record anew", listed(7) == third)


def watch_photo_moved(photo, into, what):
    """A watch started over the camera folder, passed over, sees the photo
    moved in among the screenshots beside a new one: the photo is the file
    it was, no new screenshot."""
    watch = Watch(shotsieve, home)
    os.rename(os.path.join(camera, photo), os.path.join(into, photo))
    screenshot(os.path.join(into, f"watched-{photo}"), sample_png(make_library, f"tool {photo}"))
    added = [line["asset"] for line in watch.lines(1, 30, quiet=2) if line.get("event") == "screenshot-added"]
    check(what, len(added) == 1 and not added[0]["created_at"].startswith("2019"), added)
    watch.stop()


watch_photo_moved("IMG_0001.png", shots["added"], "a watch started over a passed-over folder takes a file moved out of it for no new one")


def watched_mask(watch, folder):
    """The inotify mask the watch's worker has on a folder, from the kernel's own account."""
    inode = format(os.stat(folder).st_ino, "x")
    with open(f"/proc/{watch.proc.pid}/task/{watch.proc.pid}/children") as f:
        workers = f.read().split()
    for pid in workers:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            if os.readlink(f"/proc/{pid}/fd/{fd}") != "anon_inode:inotify":
                continue
            with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                for line in f:
                    fields = dict(field.split(":", 1) for field in line.split()[1:] if ":" in field)
                    if line.startswith("inotify") and fields.get("ino") == inode:
                        return int(fields["mask"], 16)
    return None


# The camera folder, whose every file the index knew, is watched for its
# entries alone (the kernel marks none of its files), and whole once a file
# comes: a screenshot written there slowly, closed after the watcher first
# looked at it, gets its line.
IN_CLOSE_WRITE, IN_CREATE = 0x8, 0x100
time.sleep(3.5)
listed(7)
watch = Watch(shotsieve, home)
mask = watched_mask(watch, camera)
check("a folder each of whose files was known is watched for its new entries alone",
      mask is not None and mask & IN_CREATE and not mask & IN_CLOSE_WRITE, mask)
slow = os.path.join(camera, "Screenshot from 2026-01-01 10-00-00.png")
data = sample_png(make_library, "tool slow")
with open(slow, "wb") as f:
    f.write(data[:100])
    f.flush()
    time.sleep(0.5)
    f.write(data[100:])
added = [line["asset"] for line in watch.lines(1, 30, quiet=1) if line.get("event") == "screenshot-added"]
check("a screenshot written slowly into it gets one line", len(added) == 1, added)
mask = watched_mask(watch, camera)
check("and the folder is then watched whole", mask is not None and mask & IN_CLOSE_WRITE, mask)
watch.stop()
os.remove(slow)
# The same with the names of that folder's files damaged in the record: the
# watch lists the folder instead.
time.sleep(3.5)
listed(7)
listed(7)
with open(stamps, "r+b") as f:
    record = bytearray(f.read())
head_size = int.from_bytes(record[20:28], "little")
name = record.find(b"IMG_0002.png", 28 + head_size + 4)
check("the record names the folder's files after its folders", name > 0)
record[name] ^= 1
with open(stamps, "r+b") as f:
    f.write(record)
watch_photo_moved("IMG_0002.png", shots["renamed"], "and so does one whose record of that folder's names is damaged")

finish()
