#!/usr/bin/env python3
"""A soak of one library used by several processes at once: two watches and
two listing loops beside a writer that adds, deletes, renames and moves
screenshots for a while. Prints the files, the changes, and per file the
uuids it was given by anyone and the copies it has in the export folder;
each should be one.

usage: bench/soak.py BUILD_DIR [SECONDS]
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../tests/e2e"))
from harness import environment, new_home, sample_png  # noqa: E402

build = os.path.abspath(sys.argv[1])
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
shotsieve = os.path.join(build, "src/cli/shotsieve")
home = new_home("shotsieve-soak-")
env = environment(home)
folders = [os.path.join(home, "Pictures/Screenshots", name) for name in ("", "a", "b/c")]
for folder in folders:
    os.makedirs(folder, exist_ok=True)
exports = os.path.join(home, "exports")
make_library = os.path.join(build, "bench/make_library")
contents = {}  # digest -> the file's bytes, one picture each
stop = threading.Event()
reported = []  # (uuid) from the watches
listed = []    # (uuid, digest of its copy) from the listings


def watch():
    proc = subprocess.Popen([shotsieve, "watch"], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    for line in proc.stdout:
        event = json.loads(line)
        if event.get("event") == "screenshot-added":
            reported.append(event["asset"]["uuid"])
        if stop.is_set():
            break
    proc.kill()
    proc.wait()


def listing():
    while not stop.is_set():
        out = subprocess.run([shotsieve, "list", "2", exports], env=env, capture_output=True)
        for entry in json.loads(out.stdout or b"[]"):
            if entry["path"] and os.path.exists(entry["path"]):
                with open(entry["path"], "rb") as f:
                    listed.append((entry["uuid"], hashlib.sha256(f.read()).hexdigest()))
        subprocess.run([shotsieve, "list-today"], env=env, capture_output=True)


threads = [threading.Thread(target=watch) for _ in range(2)] + [threading.Thread(target=listing) for _ in range(2)]
for thread in threads:
    thread.start()
time.sleep(2)
rng = random.Random(20261208)
present, changes, made = [], 0, 0
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    roll = rng.random()
    if roll < 0.4 or not present:
        data = sample_png(make_library, f"soak {made}")
        contents[hashlib.sha256(data).hexdigest()] = data
        path = os.path.join(rng.choice(folders), f"shot-{made}.png")
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.rename(path + ".tmp", path)
        present.append(path)
        made += 1
    elif roll < 0.5:
        os.remove(present.pop(rng.randrange(len(present))))
    else:  # renamed in its folder, or moved to another
        old = present.pop(rng.randrange(len(present)))
        new = os.path.join(rng.choice(folders) if roll < 0.75 else os.path.dirname(old), f"moved-{changes}.png")
        os.rename(old, new)
        present.append(new)
    changes += 1
    time.sleep(rng.uniform(0, 0.05))
time.sleep(3)
stop.set()
for path in present[:1]:  # one more line for the watches to notice the end
    os.utime(path)
for thread in threads:
    thread.join(timeout=60)

uuids_of = {}
for uuid, digest in listed:
    uuids_of.setdefault(digest, set()).add(uuid)
known = {uuid for uuid, _ in listed}
copies_of = {}
for name in os.listdir(exports):
    if name.endswith(".png"):
        with open(os.path.join(exports, name), "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        copies_of[digest] = copies_of.get(digest, 0) + 1
more_uuids = sum(1 for uuids in uuids_of.values() if len(uuids) > 1)
more_copies = sum(1 for count in copies_of.values() if count > 1)
print(f"{made} files made, {changes} changes in {seconds:.0f} s; {len(listed)} listed entries, {len(reported)} watch lines")
print(f"files with more than one uuid: {more_uuids} of {len(uuids_of)}; with more than one copy: {more_copies} of "
      f"{len(copies_of)}; watch uuids no listing gave: {len(set(reported) - known)} of {len(set(reported))}")
shutil.rmtree(home, ignore_errors=True)
