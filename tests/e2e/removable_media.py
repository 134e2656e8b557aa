#!/usr/bin/env python3
"""A camera card or a USB stick through FUSE (fusefat, exfat-fuse), whose
drivers number files anew at every mount: unmounted and mounted again,
renamed, watched across the remount, a screenshot keeps its uuid and date.
And a disk away for a moment: what is listed meanwhile forgets no uuid.

usage: removable_media.py SHOTSIEVE MAKE_LIBRARY

Needs root (to mount), /dev/fuse and the drivers; exFAT also a loop device.
Skips what it cannot have, with the reason.
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, copies, finish, new_home, run, Watch, sample_png, screenshot, uuids  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
    print("skipped: mounting a FAT image through FUSE needs root and /dev/fuse")
    sys.exit(77)


def listing(home, exports):
    return {e["original_filename"]: (e["uuid"], e["date"]) for e in run(shotsieve, home, "list", "7", exports)}


class FatImage:
    """An image file formatted and mounted by one driver at HOME/Pictures."""

    def __init__(self, driver, home):
        self.driver, self.pictures = driver, os.path.join(home, "Pictures")
        self.image, self.loop = os.path.join(home, "card.img"), None
        os.makedirs(self.pictures)
        with open(self.image, "wb") as f:
            f.truncate(64 << 20)
        maker = "mkfs.vfat" if driver == "fusefat" else "mkfs.exfat"
        subprocess.run([maker, self.image], check=True, capture_output=True)
        if driver == "exfat-fuse":
            made = subprocess.run(["losetup", "-f", "--show", self.image], capture_output=True, text=True)
            self.loop = made.stdout.strip() if made.returncode == 0 else None

    def mount(self):
        if self.driver == "fusefat":
            command = ["fusefat", "-o", "rw+", self.image, self.pictures]
        else:
            command = ["mount.exfat-fuse", self.loop, self.pictures]
        return subprocess.run(command, capture_output=True).returncode == 0

    def unmount(self):
        subprocess.run(["umount", self.pictures], check=True)

    def remount(self):
        self.unmount()
        check(f"{self.driver}: mounted again", self.mount())
        # Looked up in another order than they were made: the driver numbers them otherwise.
        for folder, _, names in os.walk(self.pictures):
            for name in sorted(names, reverse=True):
                os.stat(os.path.join(folder, name))

    def close(self):
        subprocess.run(["umount", self.pictures], capture_output=True)
        if self.loop:
            subprocess.run(["losetup", "-d", self.loop])


def card_day(driver):
    home = new_home(f"shotsieve-card-{driver}-")
    card = FatImage(driver, home)
    if (driver == "exfat-fuse" and not card.loop) or not card.mount():
        print(f"skipped {driver}: it could not mount an image here")
        shutil.rmtree(home)
        return
    try:
        shots, exports = os.path.join(card.pictures, "Screenshots"), os.path.join(home, "exports")
        day = time.strftime("%Y-%m-%d")
        screenshot(os.path.join(shots, f"Screenshot from {day} 00-00-01.png"), sample_png(make_library, "one"))
        screenshot(os.path.join(shots, "plain.png"), sample_png(make_library, "two"))  # dated by the file system
        screenshot(os.path.join(shots, "third.png"), sample_png(make_library, "three"))
        first = listing(home, exports)
        card.remount()
        check(f"{driver}: the same uuids and dates after a remount", listing(home, exports) == first,
              (first, listing(home, exports)))
        time.sleep(2)  # FAT keeps times to two seconds: a rename later restamps the entry visibly
        os.rename(os.path.join(shots, "plain.png"), os.path.join(shots, "renamed.png"))
        renamed = listing(home, exports)
        check(f"{driver}: a rename keeps the uuid and the date", renamed.get("renamed.png") == first["plain.png"],
              (first, renamed))

        watch = Watch(shotsieve, home)
        card.remount()
        check(f"{driver}: a watch across a remount reports no known screenshot",
              uuids(watch.lines(0, 0, quiet=4)) == [])
        screenshot(os.path.join(shots, "fourth.png"), sample_png(make_library, "four"))
        added = uuids(watch.lines(1, 30))
        known = {uuid for uuid, _ in first.values()}
        check(f"{driver}: a new screenshot after the remount: one line, a new uuid",
              len(added) == 1 and added[0] not in known, added)
        watch.stop()
        last = listing(home, exports)
        check(f"{driver}: one copy per screenshot", len(copies(exports)) == len(last) == 4, (copies(exports), last))
    finally:
        card.close()
        shutil.rmtree(home, ignore_errors=True)


def disk_away():
    home = new_home("shotsieve-away-")
    disk, pictures, exports = (os.path.join(home, name) for name in ("disk", "Pictures", "exports"))
    os.makedirs(disk)
    os.makedirs(pictures)
    try:
        if subprocess.run(["mount", "-t", "tmpfs", "none", disk], capture_output=True).returncode != 0:
            print("skipped a disk away: a tmpfs could not be mounted here")
            return
        screenshot(os.path.join(disk, "Screenshots/plain.png"), sample_png(make_library, "one"))
        subprocess.run(["mount", "--bind", disk, pictures], check=True)
        listing(home, exports)
        os.rename(os.path.join(disk, "Screenshots/plain.png"), os.path.join(disk, "Screenshots/renamed.png"))
        before = listing(home, exports)  # the uuid of its first name, which the index alone knows now
        subprocess.run(["umount", pictures], check=True)
        away = [listing(home, exports) for _ in range(2)]
        subprocess.run(["mount", "--bind", disk, pictures], check=True)
        back = listing(home, exports)
        check("a disk away for a moment: nothing listed meanwhile, the same uuid once back",
              away == [{}, {}] and back == before and len(before) == 1, (before, away, back))
    finally:
        subprocess.run(["umount", pictures], capture_output=True)
        subprocess.run(["umount", disk], capture_output=True)
        shutil.rmtree(home, ignore_errors=True)


disk_away()
for driver in ("fusefat", "exfat-fuse"):
    if shutil.which("fusefat" if driver == "fusefat" else "mount.exfat-fuse"):
        card_day(driver)
    else:
        print(f"skipped {driver}: not installed")
finish()
