#!/usr/bin/env python3
"""watch sees what list sees, wherever the Pictures folder lives.

usage: watch_setups.py SHOTSIEVE MAKE_LIBRARY [sanitized]

Pictures as a link, pointed elsewhere while watching; on a FUSE mount written
behind its back; unmounted and mounted again; a user with no inotify
instance left; screenshots pouring in while the watch starts; a hostile TIFF
beside a normal screenshot; odd roots. (A long watch's rounds are in
watch_rounds.py: they need no system of their own.) Mounting and lowering system limits need root: those parts skip otherwise,
with the reason.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, finish, new_home, Watch, lower, restore, sample_png, screenshot, uuids  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
sanitized = len(sys.argv) > 3 and sys.argv[3] in ("ON", "sanitized", "tsan")
sample = sample_png(make_library)
root = os.geteuid() == 0


def reported_within(watch, seconds, count=1):
    started = time.monotonic()
    got = uuids(watch.lines(count, seconds, quiet=0.5))
    return got, time.monotonic() - started


def mount(*args):
    return root and subprocess.run(args, capture_output=True).returncode == 0


# Pictures is a link to another disk (a folder outside HOME), and is pointed elsewhere while watching.
home = new_home("shotsieve-setups-")
outside = tempfile.mkdtemp(prefix="shotsieve-disk-")
disk = os.path.join(outside, "Pictures")
os.makedirs(os.path.join(disk, "Screenshots"))
os.symlink(disk, os.path.join(home, "Pictures"))
watch = Watch(shotsieve, home)
screenshot(os.path.join(disk, "Screenshots/on-the-disk.png"), sample)
got, took = reported_within(watch, 5)
check("Pictures as a link: a new screenshot reported at once", len(got) == 1 and took < 2, (got, took))
other = os.path.join(home, "other/Pictures")
os.makedirs(os.path.join(other, "Screenshots"))
os.remove(os.path.join(home, "Pictures"))
os.symlink(other, os.path.join(home, "Pictures"))
time.sleep(0.3)
screenshot(os.path.join(other, "Screenshots/after-the-change.png"), sample_png(make_library, "grim"))
got, _ = reported_within(watch, 5)
check("the link pointed elsewhere is followed", len(got) == 1, got)
watch.stop()
shutil.rmtree(home)
shutil.rmtree(outside)

# Odd roots: a loop, a link to a file, a link into /proc. No crash, no hang, then the real one.
home = new_home("shotsieve-setups-")
for target in ("Pictures", "/etc/hostname", "/proc/self"):
    os.symlink(target, os.path.join(home, "Pictures"))
    watch = Watch(shotsieve, home)
    check(f"a root linked to {target}: the watch starts", watch.start is not None and watch.proc.poll() is None)
    watch.stop()
    os.remove(os.path.join(home, "Pictures"))
shutil.rmtree(home)

# Written behind a FUSE mount's back, as a phone's sync to a NAS does.
home = new_home("shotsieve-setups-")
backing = os.path.join(home, "backing")
os.makedirs(os.path.join(backing, "Screenshots"))
os.makedirs(os.path.join(home, "Pictures"))
if not shutil.which("bindfs") or not mount("bindfs", backing, os.path.join(home, "Pictures")):
    print("skipped the FUSE part: needs root, bindfs and /dev/fuse")
else:
    try:
        watch = Watch(shotsieve, home)
        screenshot(os.path.join(backing, "Screenshots/synced.png"), sample)
        got, took = reported_within(watch, 12)
        check("behind a FUSE mount's back: reported within 10 s, once", len(got) == 1 and took < 10.5, (got, took))
        screenshot(os.path.join(home, "Pictures/Screenshots/local.png"), sample_png(make_library, "scrot"))
        got, took = reported_within(watch, 10, 1)
        check("through the mount: reported at once, once", len(got) == 1 and took < 2.5, (got, took))
        before = watch.cpu_ms()
        time.sleep(5)
        idle = watch.cpu_ms() - before
        check("idle on a FUSE mount: under 5 % of a core over 5 s", idle < 250, f"{idle:.1f} ms")
        watch.stop()
    finally:
        subprocess.run(["fusermount", "-u", os.path.join(home, "Pictures")])
shutil.rmtree(home, ignore_errors=True)

# The file system under Pictures unmounted and mounted again.
home = new_home("shotsieve-setups-")
pictures = os.path.join(home, "Pictures")
os.makedirs(pictures)
if not mount("mount", "-t", "tmpfs", "tmpfs", pictures):
    print("skipped the remount part: mounting needs root")
else:
    try:
        watch = Watch(shotsieve, home)
        subprocess.run(["umount", pictures], check=True)
        time.sleep(0.3)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", pictures], check=True)
        time.sleep(0.3)
        screenshot(os.path.join(pictures, "Screenshots/after-remount.png"), sample)
        got, _ = reported_within(watch, 5)
        check("mounted again: a new screenshot reported", len(got) == 1, got)
        watch.stop()
    finally:
        subprocess.run(["umount", pictures])
shutil.rmtree(home)

# No inotify instance left for the user.
INSTANCES = "/proc/sys/fs/inotify/max_user_instances"
home = new_home("shotsieve-setups-")
os.makedirs(os.path.join(home, "Pictures/Screenshots"))
saved = lower(INSTANCES, 0)
if saved is None:
    print(f"skipped the no-inotify part: cannot lower {INSTANCES} here (needs root)")
else:
    try:
        watch = Watch(shotsieve, home)
    finally:
        restore(INSTANCES, saved)
    screenshot(os.path.join(home, "Pictures/Screenshots/polled.png"), sample)
    got, took = reported_within(watch, 10)
    check("without inotify: reported within 8 s", len(got) == 1 and took < 8, (got, took))
    # Folders that come and go while polled: no crash, no duplicate line.
    for i in range(20):
        os.makedirs(os.path.join(home, f"Pictures/Screenshots/brief-{i}"))
        shutil.rmtree(os.path.join(home, f"Pictures/Screenshots/brief-{i}"))
    check("folders that vanish while polled give nothing", watch.lines(0, 0, quiet=3) == [])
    watch.stop(b"shotsieve: watching by looking at the folders every few seconds, as no inotify instance can be "
               b"had: Too many open files\n")
shutil.rmtree(home)

# Screenshots pouring in while the watch starts: each counted or reported, once.
for attempt in range(4):
    home = new_home("shotsieve-setups-")
    shots = os.path.join(home, "Pictures/Screenshots")
    os.makedirs(shots)
    names = [f"pour-{i:04}.png" for i in range(400)]
    pour = threading.Thread(target=lambda: [(screenshot(os.path.join(shots, n), sample), time.sleep(0.002))
                                            for n in names])
    pour.start()
    time.sleep(0.05)
    watch = Watch(shotsieve, home)
    pour.join()
    counted = watch.start["baseline_count"] if watch.start else -1
    # The rest as lines, then a quiet spell in which a line too many would show.
    got = uuids(watch.lines(len(names) - counted, 15, quiet=0.8))
    check(f"start {attempt + 1}: baseline plus lines is every file", counted + len(got) == len(names),
          (counted, len(got)))
    check(f"start {attempt + 1}: no line twice", len(set(got)) == len(got))
    watch.stop()
    shutil.rmtree(home)


def hostile_tiff():
    """64 chained directories of 65,536 strips each, all pointing at the same two tables."""
    strips, directories = 65536, 64
    offsets = 8 + directories * 30
    counts = offsets + 4 * strips
    data = b"II*\0" + struct.pack("<I", 8)
    for d in range(directories):
        following = 8 + (d + 1) * 30 if d + 1 < directories else 0
        data += struct.pack("<HHHIIHHIII", 2, 273, 4, strips, offsets, 279, 4, strips, counts, following)
    return data + struct.pack("<I", 8) * strips + struct.pack("<I", 1) * strips


# One hostile file holds up no other.
home = new_home("shotsieve-setups-")
shots = os.path.join(home, "Pictures/Screenshots")
os.makedirs(shots)
watch = Watch(shotsieve, home)
screenshot(os.path.join(shots, "hostile.tif"), hostile_tiff())
time.sleep(0.2)
started = time.monotonic()
screenshot(os.path.join(shots, "normal.png"), sample)
got = uuids(watch.lines(1, 30, quiet=0.5))
check("a normal screenshot beside a hostile TIFF is reported at once",
      len(got) >= 1 and time.monotonic() - started < 2.5, (got, time.monotonic() - started))
watch.stop()
shutil.rmtree(home)

finish()
