#!/usr/bin/env python3
"""The program's usage errors, authorization answers, answers that cannot be
written and bundle information, checked from outside on the built program.
(The question at a terminal is in terminal.py.)

usage: command_line.py SHOTSIEVE INFO_PLIST
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, environment, finish, grant, new_home, recorded, run, state_file  # noqa: E402

shotsieve, plist = os.path.realpath(sys.argv[1]), sys.argv[2]
home = new_home("shotsieve-cli-")
env = environment(home)
USAGE = b"usage: shotsieve {auth-status | request-auth | list <days> <exportDir> | list-today | watch}\n"
LIST_USAGE = b"usage: shotsieve list <days> <exportDir>\n"
out = os.path.join(home, "out")
long = "a" * 100000
cases = [([], USAGE), (["AUTH-STATUS"], b"unknown subcommand: AUTH-STATUS\n"),
         (["auth-status "], b"unknown subcommand: auth-status \n"), ([""], b"unknown subcommand: \n"),
         (["list"], LIST_USAGE), (["list", "7"], LIST_USAGE), ([b"x\xffy"], b"unknown subcommand: x\xef\xbf\xbdy\n"),
         ([long], b"unknown subcommand: " + long.encode() + b"\n"), (["list", long, out], LIST_USAGE)]
for days in ("abc", " 7", "9223372036854775808", "-9223372036854775807"):  # the rest in the unit tests
    cases.append((["list", days, out], LIST_USAGE))
for args, stderr in cases:
    done = subprocess.run([shotsieve, *args], env=env, capture_output=True)
    check(f"usage error {args!r:.60}", (done.returncode, done.stdout, done.stderr) == (64, b"", stderr),
          (done.returncode, done.stdout, done.stderr[:200]))

# The recorded access, never asked; an unreadable record is "unknown" and reads nothing.
grant(home, None)
check("auth-status when never asked", run(shotsieve, home, "auth-status", "extra", "words") ==
      {"status": "not-determined"})
for word, status in (("denied", "denied"), ("restricted", "restricted"), ("limited", "limited"),
                     ("authorized", "authorized"), ("7", "unknown"), ("garbage", "unknown")):
    grant(home, word)
    check(f"auth-status for {word}", run(shotsieve, home, "auth-status") == {"status": status})
grant(home, None)
os.mkdir(state_file(home))  # a folder where the file should be
check("auth-status with an unreadable record", run(shotsieve, home, "auth-status") == {"status": "unknown"})
check("list refused while the record is unreadable",
      run(shotsieve, home, "list", "7", out, status=2) == {"error": "not-authorized", "status": "unknown"})
os.rmdir(state_file(home))
refused = {"error": "not-authorized", "status": "not-determined"}
check("list before access", run(shotsieve, home, "list", "7", out, status=2) == refused)
check("a refused list makes no export folder", not os.path.exists(out))
check("list-today before access", run(shotsieve, home, "list-today", status=2) == refused)

# No terminal and no desktop: nobody is asked, nothing granted or recorded, and a line says how to decide.
done = subprocess.run(["setsid", "-w", shotsieve, "request-auth"], env=env, stdin=subprocess.DEVNULL,
                      capture_output=True)
check("request-auth with nobody to ask", (done.returncode, done.stdout) == (0, b'{"status":"not-determined"}\n'), done)
check("... says how to decide", done.stderr.startswith(b"shotsieve: nobody could be asked") and
      b"request-auth in a terminal" in done.stderr, done.stderr)
check("... and records nothing", recorded(home) is None)
grant(home, "denied")
check("request-auth once decided", run(shotsieve, home, "request-auth", stdin=subprocess.DEVNULL) ==
      {"status": "denied"})

# An answer that cannot be written is a failure with a reason, never a success;
# with standard output closed nothing is done at all.
grant(home, "authorized")
os.makedirs(os.path.join(home, "Pictures/Screenshots"))
with open(os.path.join(home, "Pictures/Screenshots/Screenshot from 2026-01-01 10-00-00.png"), "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n")
for args in (["auth-status"], ["list-today"], ["list", "7", os.path.join(home, "full-out")], ["watch"]):
    with open("/dev/full", "wb") as full:
        done = subprocess.run([shotsieve, *args], env=env, stdout=full, stderr=subprocess.PIPE)
    check(f"{args[0]} on a full output", (done.returncode, done.stderr) ==
          (74, b"shotsieve: cannot write the answer: No space left on device\n"), done)
    closed = subprocess.run(["sh", "-c", '"$@" >&-', "-", shotsieve, *args], env=env, stderr=subprocess.DEVNULL)
    check(f"{args[0]} with standard output closed", closed.returncode == 74, closed.returncode)
check("a list with standard output closed makes no export folder",
      subprocess.run(["sh", "-c", '"$@" >&- 2>/dev/null', "-", shotsieve, "list", "7", os.path.join(home, "closed")],
                     env=env).returncode == 74 and not os.path.exists(os.path.join(home, "closed")))

# The program carries Info.plist byte for byte; the shared library carries none.
section = os.path.join(home, "section")
subprocess.run(["objcopy", "-O", "binary", "--only-section=.info_plist", shotsieve, section], check=True)
with open(section, "rb") as f, open(plist, "rb") as g:
    carried, source = f.read(), g.read()
check(".info_plist is Info.plist", carried == source)
check("the bundle identifier", b"<string>com.tessaly.shotsieve</string>" in source)
check("an ASCII comma after 截图, two ideographic full stops", "截图,".encode() in source and
      source.count("。".encode()) == 2)
keys = [line.strip() for line in source.decode().splitlines() if line.strip().startswith("<key>")]
check("keys in order", keys == [f"<key>{k}</key>" for k in ("CFBundleIdentifier", "CFBundleName",
      "CFBundleShortVersionString", "CFBundleVersion", "NSPhotoLibraryUsageDescription")], keys)
shutil.rmtree(home)
finish()
