#!/usr/bin/env python3
"""list end to end over a generated Pictures folder: exported whole and
private, nothing from outside the library, the cache reused and pruned, and
an empty or relative export folder. (Runs at once are in identity.py, kills and a full
disk in faults.py, foreign and odd export folders in export_cache.py.)

usage: listing.py SHOTSIEVE MAKE_LIBRARY
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, copies, finish, listing_problem, new_home, run  # noqa: E402

shotsieve, make_library = sys.argv[1], sys.argv[2]
home = new_home("shotsieve-listing-")
pictures, out = os.path.join(home, "Pictures"), os.path.join(home, "exports")
subprocess.run([make_library, "library", pictures, "400", "200", "30"], check=True)
# Named like screenshots, leading outside the library.
shots, day = os.path.join(pictures, "Screenshots"), time.strftime("%F")
os.makedirs(shots, exist_ok=True)
with open(os.path.join(home, "id_key"), "w") as f:
    f.write("secret-key-material\n")
os.symlink(os.path.join(home, "id_key"), os.path.join(shots, f"Screenshot from {day} 01-00-02.png"))
os.symlink("/etc/passwd", os.path.join(shots, f"Screenshot from {day} 01-00-03.png"))

answer = run(shotsieve, home, "list", "7", out)
check("the first run matches its library", listing_problem(answer, pictures, out) is None,
      listing_problem(answer, pictures, out))
check("a week of screenshots, one copy each", len(answer) > 20 and len(copies(out)) == len(answer), len(answer))
with open(os.path.join(out, "CACHEDIR.TAG"), "rb") as f:
    check("the export folder is tagged as a cache", f.read().startswith(b"Signature: 8a477f597d28d172789f06886806bc55"))
check("the export folder and its copies are private", os.stat(out).st_mode & 0o777 == 0o700 and
      {os.stat(os.path.join(out, n)).st_mode & 0o777 for n in copies(out)} == {0o600})
leaked = [n for n in copies(out) if open(os.path.join(out, n), "rb").read().startswith((b"secret", b"root:"))]
check("nothing from outside the library is exported", not leaked, leaked)

# The second run: the same answer, nothing rewritten, every copy's time refreshed.
inodes = {n: os.stat(os.path.join(out, n)).st_ino for n in copies(out)}
three_days_ago = time.time() - 3 * 86400
for name in copies(out):
    os.utime(os.path.join(out, name), (three_days_ago, three_days_ago))
check("the second answer is the first", run(shotsieve, home, "list", "7", out) == answer)
check("nothing rewritten", {n: os.stat(os.path.join(out, n)).st_ino for n in copies(out)} == inodes)
check("times refreshed", all(os.stat(os.path.join(out, n)).st_mtime > time.time() - 3600 for n in copies(out)))

# Copies unused for 14 days leave; nothing else does, whatever its age.
stale = os.path.join(out, "40B314D6-141D-5673-93BE-13AAE5A54B73.png")
kept = os.path.join(out, "kept/inner/old")
os.makedirs(os.path.dirname(kept))
for path, days in ((stale, 15), (stale + ".part", 15), (kept, 20), (os.path.dirname(kept), 20)):
    if not os.path.exists(path):
        open(path, "w").close()
    os.utime(path, (time.time() - days * 86400,) * 2)
run(shotsieve, home, "list", "1", out)
check("old copies are pruned", not os.path.exists(stale) and not os.path.exists(stale + ".part"))
check("a folder is never pruned", os.path.exists(kept))

# An empty folder name is no folder: every entry missing. A relative one is
# taken from the working directory.
answer = run(shotsieve, home, "list", "7", "", cwd=home)
check("an empty export folder: every entry missing", answer and all(e["ismissing"] for e in answer))
run(shotsieve, home, "list", "7", "relative/dir", cwd=home)
check("a relative export folder", len(copies(os.path.join(home, "relative/dir"))) > 0)
shutil.rmtree(home)
finish()
