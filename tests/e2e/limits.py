#!/usr/bin/env python3
"""As an ordinary user. Resource limits give honest answers: the work done on
fewer threads, a copy that cannot be made missing alone with its name, or a
status and a reason; never a crash, never "{}" with 0, never a listing short
of screenshots. A screenshot that arrives unreadable and is made readable
later gets its one watch line, the record `list-today` gives.

usage: limits.py SHOTSIEVE MAKE_LIBRARY [sanitized]

Run as the user nobody (root is not held by the process limit), which needs
root to switch to and setpriv; skipped with the reason elsewhere.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, environment, finish, Watch, sample_png, uuids  # noqa: E402

shotsieve, make_library = (os.path.abspath(p) for p in sys.argv[1:3])
NOBODY = 65534
if sys.argv[3:] in (["sanitized"], ["tsan"]):
    print("skipped: a sanitizer's runtime needs the address space and the threads that the limits take away")
    sys.exit(77)
if os.geteuid() != 0 or not shutil.which("setpriv") or not shutil.which("prlimit"):
    print("skipped: needs root (to run as nobody, whom the process limit holds), setpriv and prlimit")
    sys.exit(77)
home = tempfile.mkdtemp(prefix="shotsieve-limits-")
os.chmod(home, 0o755)
subprocess.run([make_library, "library", os.path.join(home, "Pictures"), "200", "0", "5"], check=True,
               stdout=subprocess.DEVNULL)
os.makedirs(os.path.join(home, ".local/state/shotsieve"))
with open(os.path.join(home, ".local/state/shotsieve/photo-library-access"), "w") as f:
    f.write("authorized\n")
# A copy of the program where nobody can reach it (a build tree under /root cannot be).
os.makedirs(os.path.join(home, "bin"))
shotsieve = shutil.copy(shotsieve, os.path.join(home, "bin/shotsieve"))
subprocess.run(["chown", "-R", f"{NOBODY}:{NOBODY}", home], check=True)
as_nobody = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
if subprocess.run(as_nobody + [shotsieve, "auth-status"], env=environment(home), capture_output=True).returncode != 0:
    print(f"skipped: nobody cannot run {shotsieve} here")
    sys.exit(77)


def run(limit, *args, timeout=60):
    """The command as nobody under a shell limit; (status, stdout, stderr)."""
    command = " ".join(f"'{a}'" for a in [shotsieve, *args])
    out = subprocess.run(as_nobody + ["sh", "-c", f"{limit} && exec {command}"], env=environment(home),
                         capture_output=True, timeout=timeout)
    return out.returncode, out.stdout.decode(), out.stderr.decode()


_, text, _ = run("true", "list", "7", os.path.join(home, "reference"))
reference = json.loads(text)
check("the reference listing copies everything", len(reference) == 200 and not any(e["ismissing"] for e in reference))

limits = [f"prlimit --pid $$ --nproc={n}" for n in (1, 2, 3, 4)] + ["ulimit -v 204800", "ulimit -f 400"] + \
         [f"ulimit -n {n}" for n in (4, 5, 8, 12)]
sizes = {e["uuid"]: os.path.getsize(e["path"]) for e in reference}
for number, limit in enumerate(limits):
    status, text, error = run(limit, "list", "7", os.path.join(home, f"exports-{number}"))
    if status == 0:
        answer = json.loads(text)
        check(f"{limit}: every screenshot listed", len(answer) == len(reference), len(answer))
        check(f"{limit}: every entry keeps its file name", all(e["original_filename"] for e in answer))
        # Threads and memory can be done without; descriptors may be too few for every copy at once.
        if limit.startswith("ulimit -f"):
            # A copy past the file-size limit is missing, as on a full disk; those made are whole.
            made = [e for e in answer if not e["ismissing"]]
            check(f"{limit}: the copies past it missing, the others whole", 0 < len(made) < len(answer) and
                  all(os.path.getsize(e["path"]) == sizes[e["uuid"]] for e in made), len(made))
        elif not limit.startswith("ulimit -n"):
            check(f"{limit}: every copy made", not any(e["ismissing"] for e in answer),
                  sum(e["ismissing"] for e in answer))
    else:
        check(f"{limit}: a failure is status 70 with a reason and nothing on standard output",
              status == 70 and error.startswith("shotsieve: ") and text == "", (status, error, text[:80]))

for limit in [f"prlimit --pid $$ --nproc={n}" for n in (2, 3, 4, 5, 6)] + [f"ulimit -n {n}" for n in (4, 6, 9)]:
    try:
        status, text, error = run(limit, "watch", timeout=5)
    except subprocess.TimeoutExpired as ended:
        status, text, error = None, (ended.stdout or b"").decode(), ""
    if status is None:  # still watching: it started
        check(f"watch under {limit}: one start line", text.startswith('{"event":"watching"'), text[:80])
    else:
        check(f"watch under {limit}: ends with 70 and a reason, never a crash",
              status == 70 and error.startswith("shotsieve: ") and text == "", (status, error))

# Another account's copies (0600, root's): nobody cannot read them until their mode or owner changes.
shots = os.path.join(home, "Pictures/Screenshots")
watch = Watch(shotsieve, home, user=NOBODY)
check("a watch as nobody starts", watch.start and watch.start.get("event") == "watching", watch.start)
closed = os.path.join(shots, "Closed")
os.makedirs(closed, mode=0o700)
day = time.strftime("%Y-%m-%d")
names = [f"Screenshot from {day} 00-00-0{n}.png" for n in (1, 2, 3)]
for name, folder in ((names[0], shots), (names[1], shots), (names[2], closed)):
    # Made 0600 from the start: a file readable for a moment may rightly be reported.
    with open(os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as f:
        f.write(sample_png(make_library, name))
check("no line for a file nobody can read", watch.lines(1, 2) == [])
os.chmod(os.path.join(shots, names[0]), 0o644)
os.chown(os.path.join(shots, names[1]), NOBODY, NOBODY)
os.chmod(os.path.join(closed, names[2]), 0o644)
os.chmod(closed, 0o755)  # the folder opens: what it holds is looked at
added = watch.lines(3, 30)
_, text, _ = run("true", "list-today")
today = {e["uuid"]: e for e in json.loads(text)["items"]}
check("one line each once made readable (chmod, chown, the folder opened)", len(uuids(added)) == 3,
      [line.get("asset", {}).get("filename") for line in added])
check("the watch's records are list-today's", all(line["asset"] == today.get(line["asset"]["uuid"])
                                                  for line in added), (added, today))
os.chmod(os.path.join(shots, names[0]), 0o640)
check("a mode changed again gives no second line", watch.lines(1, 2) == [])
watch.stop()
subprocess.run(["pkill", "-u", str(NOBODY), "-f", shotsieve])
shutil.rmtree(home, ignore_errors=True)
finish()
