#!/usr/bin/env python3
"""request-auth at a real terminal: what ends the question, and a terminal
that never stops the process.

usage: terminal.py SHOTSIEVE

End of input, a terminal that hangs up and words that are no answer record
nothing; a request run as a background job of an interactive shell is not
asked, is never stopped, and records what a request without a terminal does.
"""
import json
import os
import pty
import resource
import select
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import check, environment, finish, recorded, state_file, validate  # noqa: E402
import tempfile  # noqa: E402

shotsieve = os.path.realpath(sys.argv[1])
QUESTION = b"[y/N] "


def read_until(fd, marker, timeout):
    """What the terminal shows until `marker` appears, the timeout passes or it closes."""
    seen, deadline = b"", time.monotonic() + timeout
    while marker not in seen and time.monotonic() < deadline:
        if not select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            break
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO once the other side has gone
            break
        if not chunk:
            break
        seen += chunk
    return seen


def ask(home, reply, no_room=False):
    """request-auth in a new pseudo-terminal; `reply` is sent once the question
    shows (None: hang the terminal up instead). Returns the screen and the status.
    With no_room, no file may grow (the file-size limit at 0)."""
    pid, master = pty.fork()
    if pid == 0:
        if no_room:
            resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))
        os.execve(shotsieve, [shotsieve, "request-auth"], environment(home))
    screen = read_until(master, QUESTION, 10)
    if reply is None:
        os.close(master)
    else:
        os.write(master, reply)
        screen += read_until(master, b"}", 10)
        os.close(master)
    _, status = os.waitpid(pid, 0)
    return screen, status


home = tempfile.mkdtemp(prefix="shotsieve-tty-")
screen, status = ask(home, b"\x04")  # the terminal's end-of-input character
check("end of input at the question answers not-determined", b'{"status":"not-determined"}' in screen, screen)
check("end of input records nothing", recorded(home) is None, recorded(home))
screen, status = ask(home, b"perhaps\n")
check("an answer that is neither yes nor no records nothing",
      b'{"status":"not-determined"}' in screen and recorded(home) is None, screen)
screen, status = ask(home, None)
check("a terminal that hangs up during the question records nothing", recorded(home) is None, recorded(home))
screen, status = ask(home, b"n\n")
check("the question shows the reason, and n is recorded as denied",
      "Tessaly 需要读取「照片」图库里的截图,才能帮你分类和整理。图片只在你的电脑本地处理。".encode() in screen and
      b'{"status":"denied"}' in screen and recorded(home) == "denied", screen)
os.remove(state_file(home))
screen, status = ask(home, b"YES\n")
check("yes in capitals is recorded", b'{"status":"authorized"}' in screen and recorded(home) == "authorized", screen)
os.remove(state_file(home))
screen, status = ask(home, b"y\n", no_room=True)
check("a choice that cannot be recorded is said so, and the answer is what is recorded",
      b"shotsieve: the answer could not be recorded" in screen and b'{"status":"not-determined"}' in screen and
      recorded(home) is None, screen)

# A background job of an interactive shell: no question, no stop.
pid, master = pty.fork()
if pid == 0:
    env = environment(home)
    env["PS1"] = "$ "
    os.execve("/bin/bash", ["bash", "--norc", "--noprofile", "-i"], env)
read_until(master, b"$ ", 10)
os.write(master, f"stty tostop; '{shotsieve}' request-auth >'{home}/bg.out' 2>&1 & wait $!; echo \"F\"\"IN-$?\"\n".encode())
started = time.monotonic()
screen = read_until(master, b"FIN-", 5)
took = time.monotonic() - started
screen += read_until(master, b"\n", 1) if b"\n" not in screen.split(b"FIN-")[-1] else b""
check("a background request finishes at once", b"FIN-0" in screen and took < 3, f"{took:.2f} s: {screen!r}")
check("a background request is never stopped", b"Stopped" not in screen, screen)
with open(os.path.join(home, "bg.out"), "rb") as f:
    answer = f.read()
check("a background request asks nobody here (no desktop either)",
      answer.startswith(b"shotsieve: nobody could be asked") and answer.endswith(b'{"status":"not-determined"}\n'), answer)
check("the answer matches its schema", not validate("auth-status", json.loads(answer.splitlines()[-1])))
check("a background request records nothing", recorded(home) is None, recorded(home))
os.kill(pid, signal.SIGKILL)
os.waitpid(pid, 0)
os.close(master)
subprocess.run(["rm", "-rf", home])
finish()
