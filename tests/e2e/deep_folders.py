#!/usr/bin/env python3
"""Folders at any depth are listed and watched with few descriptors, and a
folder loop through a bind mount is walked once.

usage: deep_folders.py SHOTSIEVE MAKE_LIBRARY

A screenshot 70 folders down (a path of about 5,000 bytes, longer than
PATH_MAX) is listed, copied and watched under `ulimit -n 40`; a bind mount
of a folder inside itself (root only; skipped otherwise) gives no hang and
each file once.
"""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, environment, finish, new_home, sample_png, screenshot, uuids, Watch  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
home = new_home("shotsieve-deep-")
pictures = os.path.join(home, "Pictures")
sample = sample_png(make_library)


def run(*args, limit="ulimit -n 40"):
    command = " ".join(f"'{a}'" for a in [shotsieve, *args])
    out = subprocess.run(["sh", "-c", f"{limit} && exec {command}"], env=environment(home), capture_output=True,
                         timeout=120)
    return out.returncode, out.stdout.decode(), out.stderr.decode()


def names(answer):
    return sorted(item["original_filename"] for item in answer)


# 70 folders of 70 bytes each: made one folder at a time, the path being too long to name.
deep = os.path.join(pictures, "Screenshots")
os.makedirs(deep)
fd = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
for level in range(70):
    name = f"level-{level:02d}-" + "d" * 61
    os.mkdir(name, dir_fd=fd)
    inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = inner
with open(os.open("deep.png", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
    f.write(sample)
screenshot(os.path.join(pictures, "Screenshots", "top.png"), sample_png(make_library, "top"))

status, text, error = run("list", "7", os.path.join(home, "exports"))
answer = json.loads(text) if status == 0 else []
check("a screenshot 70 folders deep is listed with 40 descriptors", names(answer) == ["deep.png", "top.png"],
      (status, error, names(answer)))
deep_entry = next((item for item in answer if item["original_filename"] == "deep.png"), None)
check("and copied whole", deep_entry is not None and not deep_entry["ismissing"] and
      os.path.getsize(deep_entry["path"]) == len(sample))

# Watched at that depth: a new screenshot in the deepest folder gives its line.
watch = Watch(shotsieve, home, command=["prlimit", "--nofile=40", "--"])
check("a watch starts with 40 descriptors", watch.start is not None and watch.start["event"] == "watching", watch.start)
hidden = os.open(".new.png.tmp", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
os.write(hidden, sample_png(make_library, "deep new"))
os.close(hidden)
os.rename(".new.png.tmp", "new.png", src_dir_fd=fd, dst_dir_fd=fd)
os.close(fd)
check("a screenshot made 70 folders deep gives a watch line", len(uuids(watch.lines(1, 20))) == 1)
watch.stop()

if os.geteuid() == 0:
    # Screenshots/loop shows Screenshots itself: the walk must not go round.
    loop = os.path.join(pictures, "Screenshots", "loop")
    os.mkdir(loop)
    subprocess.run(["mount", "--bind", os.path.join(pictures, "Screenshots"), loop], check=True)
    try:
        started = time.monotonic()
        status, text, error = run("list", "7", os.path.join(home, "exports"))
        answer = json.loads(text) if status == 0 else []
        check("a loop through a bind mount ends at once", time.monotonic() - started < 60)
        check("and lists each screenshot once", names(answer) == ["deep.png", "new.png", "top.png"],
              (status, error, names(answer)))
    finally:
        subprocess.run(["umount", loop], check=True)
else:
    print("bind-mount loop skipped: mounting needs root")

finish()
