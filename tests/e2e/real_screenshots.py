#!/usr/bin/env python3
"""Real screenshots taken the way Linux users take them, under a virtual X
display: scrot with its default name in the Pictures folder, and
ImageMagick's import into Pictures/Screenshots. Both are listed with the
display's size and the time they were taken, and exported byte for byte.

usage: real_screenshots.py SHOTSIEVE
"""
import calendar
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, environment, finish, listing_problem, new_home, run  # noqa: E402

shotsieve = sys.argv[1]
for tool in ("Xvfb", "scrot", "import"):
    if not shutil.which(tool):
        print(f"skipped: {tool} is not installed")
        sys.exit(77)
home = new_home("shotsieve-x-")
read_end, write_end = os.pipe()
xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                        pass_fds=[write_end], stderr=subprocess.DEVNULL)
os.close(write_end)
display = os.read(read_end, 64).decode().strip()
if not display:
    print("skipped: Xvfb did not start")
    sys.exit(77)
env = dict(environment(home), DISPLAY=":" + display)
try:
    pictures = os.path.join(home, "Pictures")
    os.makedirs(os.path.join(pictures, "Screenshots"))
    check("scrot", subprocess.run(["scrot"], cwd=pictures, env=env).returncode == 0)
    check("import", subprocess.run(["import", "-window", "root", os.path.join(pictures, "Screenshots/import.png")],
                                   env=env).returncode == 0)
    taken = time.time()
    today = run(shotsieve, home, "list-today")
    check("two of today's screenshots", today["count"] == 2, today)
    for item in today["items"]:
        created = calendar.timegm(time.strptime(item["created_at"], "%Y-%m-%dT%H:%M:%SZ"))
        check("at the display's size, when it was taken", (item["width"], item["height"]) == (1280, 800) and
              item["is_screenshot"] and abs(created - taken) < 120, item)
    exports = os.path.join(home, "exports")
    listed = run(shotsieve, home, "list", "1", exports)
    check("both listed and exported byte for byte", len(listed) == 2 and
          listing_problem(listed, pictures, exports) is None, listing_problem(listed, pictures, exports))
    names = sorted("scrot" if e["original_filename"].endswith("_1280x800_scrot.png") else e["original_filename"]
                   for e in listed)
    check("under the names the tools gave", names == ["import.png", "scrot"], names)
finally:
    xvfb.kill()
    shutil.rmtree(home)
finish()
