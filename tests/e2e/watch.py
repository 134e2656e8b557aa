#!/usr/bin/env python3
"""watch end to end on a real Pictures folder: refused before access, the
start line at once, one line of its exact shape for a complete screenshot (a
JPEG with bytes after its end among them), none for what is not one (the
copies in export folders made or moved in meanwhile among them), and asleep while
nothing happens. (Each way a file may arrive, renamed in,
written slowly or in a new folder, is in the watcher's unit tests.)

usage: watch.py SHOTSIEVE MAKE_LIBRARY [tsan]
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Watch, check, finish, grant, new_home, run, sample_png  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
tsan = sys.argv[3:] == ["tsan"]  # its runtime's own thread works on while the watch sleeps
home = new_home("shotsieve-watch-")
shots = os.path.join(home, "Pictures/Screenshots")
os.makedirs(shots)
subprocess.run([make_library, "png", os.path.join(shots, "existing.png")], check=True)

grant(home, None)
refused = run(shotsieve, home, "watch", status=2)
check("watch before access", refused == {"error": "not-authorized", "status": "not-determined"}, refused)

grant(home, "authorized")
watch = Watch(shotsieve, home)
check("the start line", watch.start == {"event": "watching", "baseline_count": 1}, watch.start)
exports = [os.path.join(shots, f"exports-{n}") for n in range(5)]
for folder in exports:  # made in the library while it is watched; their copies are never screenshots
    run(shotsieve, home, "list", "1", folder)
# One moved in whole, its tag already there when the watch first sees it.
run(shotsieve, home, "list", "1", os.path.join(home, "exports-moved"))
exports.append(os.path.join(shots, "exports-moved"))
os.rename(os.path.join(home, "exports-moved"), exports[-1])
sample = sample_png(make_library)
with open(os.path.join(shots, "copied.png"), "wb") as f:
    f.write(sample)
line = watch.line(30)
asset = (line or {}).get("asset", {})
check("a copied screenshot's line", line is not None and line["event"] == "screenshot-added" and
      asset["id"] == asset["uuid"] + "/L0/001" and b'\\/L0\\/001"' in watch.text and
      (asset["width"], asset["height"]) == (1920, 1080) and asset["is_screenshot"] and not asset["is_favorite"] and
      asset["created_at"].endswith("Z") and asset["modified_at"].endswith("Z"), watch.text)
for folder in exports:  # the watch has heard of those folders before that line: copies of it come into them now
    run(shotsieve, home, "list", "1", folder)
line = watch.line(2)
check("no line for the copies in export folders made in the library", line is None, line)

# A JPEG with data after its end marker, as phones write them: one line, with its size.
trailer = os.path.join(home, "trailer.jpg")
subprocess.run([make_library, "jpeg", trailer], check=True)
with open(trailer, "ab") as f:
    f.write(os.urandom(100))
with open(trailer, "rb") as f, open(os.path.join(shots, "trailer.jpg"), "wb") as out:
    out.write(f.read())
line = watch.line(30)
check("a JPEG with a trailer", line is not None and (line["asset"]["width"], line["asset"]["height"]) == (4032, 3024),
      line)

# Not screenshots, not images, not inside the library, or not whole: no line.
subprocess.run([make_library, "png", os.path.join(home, "Pictures/holiday.png")], check=True)
for name, data in (("broken.png", sample[:100]), ("fake.png", b"not an image\n"),
                   ("Screenshot_20261207_010000.png", os.urandom(300))):
    with open(os.path.join(shots, name), "wb") as f:
        f.write(data)
os.symlink(os.path.join(shots, "copied.png"), os.path.join(shots, "Screenshot from 2026-12-07 01-00-02.png"))
os.symlink("/etc/passwd", os.path.join(shots, "passwd.png"))
line = watch.line(5)
check("no line for what is not a whole screenshot of the library", line is None, line)

# Asleep while nothing happens: a spinning watch would use the whole 2 s; the
# files above that are not whole yet are still looked at now and then (under
# a millisecond in all on a quiet machine; a loaded one stretches it).
if tsan:
    print("the idle watch's CPU time is not measured under ThreadSanitizer")
else:
    before = watch.cpu_ms()
    time.sleep(2)
    idle = watch.cpu_ms() - before
    check("the idle watch sleeps: under 5 % of a core over 2 s", idle < 100, f"{idle:.1f} ms")
watch.stop()
shutil.rmtree(home)
finish()
