#!/usr/bin/env python3
"""request-auth without a terminal asks on the desktop, through a private
session bus that this test starts and a notification server of the tests'
own; only a choice is recorded. Then a running watch ends at once when the
answer is withdrawn.

usage: desktop_question.py SHOTSIEVE FAKE_NOTIFICATIONS HOST LIBSIEVELINK MAKE_LIBRARY
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    check, environment, finish, new_home, recorded, state_file, validate, Watch, sample_png, screenshot, uuids)

shotsieve, fake, host, library, make_library = sys.argv[1:6]
if not shutil.which("dbus-daemon"):
    print("skipped: dbus-daemon is needed for a private session bus")
    sys.exit(77)

scratch = tempfile.mkdtemp(prefix="shotsieve-bus-")
daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                           f"--address=unix:dir={scratch}"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
address = daemon.stdout.readline().strip()


def request(home, bus=address, command=None, log=None):
    """request-auth with no terminal (a session of its own); (answer, stderr, seconds)."""
    env = environment(home)
    if bus:
        env["DBUS_SESSION_BUS_ADDRESS"] = bus
    started = time.monotonic()
    out = subprocess.run(command or [shotsieve, "request-auth"], env=env, capture_output=True, text=True,
                         stdin=subprocess.DEVNULL, start_new_session=True, timeout=60)
    took = time.monotonic() - started
    answer = json.loads(out.stdout.strip().splitlines()[-1]) if out.stdout.strip() else None
    check(f"{log}: the answer matches its schema", answer is not None and not validate("auth-status", answer), out.stdout)
    return answer, out.stderr, took


class Server:
    def __init__(self, mode, delay=0):
        self.log = os.path.join(scratch, f"{mode}-{time.monotonic_ns()}.log")
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address)
        self.proc = subprocess.Popen([fake, mode, self.log, str(delay)], env=env)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if os.path.exists(self.log) and "ready" in open(self.log).read():
                return
            time.sleep(0.01)
        raise RuntimeError("the notification server did not start")

    def lines(self, word):
        with open(self.log) as f:
            return [line for line in f if line.startswith(word)]

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def case(mode, expected, record, delay=0):
    home = new_home(f"shotsieve-{mode}-")
    os.remove(state_file(home))
    server = Server(mode, delay)
    answer, error, _ = request(home, log=mode)
    check(f"{mode}: answers {expected}", answer == {"status": expected}, (answer, error))
    check(f"{mode}: records {record}", recorded(home) == record, recorded(home))
    check(f"{mode}: one question", len(server.lines("Notify")) == 1, server.lines("Notify"))
    server.stop()
    return server, home


# The choices, and what is not a choice.
server, home = case("allow", "authorized", "authorized")
notify = server.lines("Notify")[0]
check("the question never expires and is critical", " urgency=2 expire=0 " in notify, notify)
check("it offers allow and deny", " actions=allow,Allow,deny,Don't allow, " in notify, notify)
check("it shows the usage text the terminal shows", "body=Tessaly" in notify, notify)
check("a chosen notification is closed", server.lines("CloseNotification"), open(server.log).read())
case("deny", "denied", "denied")
case("dismiss", "not-determined", None)
case("expire", "not-determined", None)
case("vanish", "not-determined", None)

# Nobody to ask: no grant, at once, and a line on how to decide.
for name, mode, bus in (("no actions", "noactions", address), ("no server", None, address), ("no bus", None, None)):
    home = new_home("shotsieve-nobody-")
    os.remove(state_file(home))
    server = Server(mode) if mode else None
    answer, error, took = request(home, bus=bus, log=name)
    check(f"{name}: not determined", answer == {"status": "not-determined"}, answer)
    check(f"{name}: at once", took < 3, f"{took:.2f} s")
    check(f"{name}: says how to decide", "request-auth in a terminal" in error, error)
    check(f"{name}: nothing recorded", recorded(home) is None, recorded(home))
    if server:
        check(f"{name}: no notification", not server.lines("Notify"))
        server.stop()

# A bus that accepts the connection and never answers does not hang the request.
hung = socket.socket(socket.AF_UNIX)
hung.bind(os.path.join(scratch, "hung"))
hung.listen(4)
home = new_home("shotsieve-hung-")
os.remove(state_file(home))
answer, error, took = request(home, bus=f"unix:path={scratch}/hung", log="hung bus")
check("a hung bus: not determined within a few seconds", answer == {"status": "not-determined"} and took < 10,
      (answer, f"{took:.2f} s"))
hung.close()

# Two requests at once: one question, one answer for both.
home = new_home("shotsieve-two-")
os.remove(state_file(home))
server = Server("allow", delay=1500)
env = dict(environment(home), DBUS_SESSION_BUS_ADDRESS=address)
both = [subprocess.Popen([shotsieve, "request-auth"], env=env, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                         start_new_session=True) for _ in range(2)]
answers = [json.loads(p.communicate(timeout=30)[0]) for p in both]
check("two requests at once: one question", len(server.lines("Notify")) == 1, server.lines("Notify"))
check("... and both report its answer", answers == [{"status": "authorized"}] * 2, answers)
server.stop()

# A decision recorded by hand meanwhile is reported, not overwritten.
home = new_home("shotsieve-meanwhile-")
os.remove(state_file(home))
server = Server("allow", delay=1500)
asking = subprocess.Popen([shotsieve, "request-auth"], env=dict(environment(home), DBUS_SESSION_BUS_ADDRESS=address),
                          stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True)
while not server.lines("Notify"):
    time.sleep(0.02)
with open(state_file(home), "w") as f:
    f.write("denied\n")
answer = json.loads(asking.communicate(timeout=30)[0])
check("a decision made meanwhile is reported", answer == {"status": "denied"} and recorded(home) == "denied",
      (answer, recorded(home)))
server.stop()

# A request killed while its question is out leaves nothing behind: the next
# one asks at once, and nothing was recorded.
home = new_home("shotsieve-killed-")
os.remove(state_file(home))
server = Server("silent")
asking = subprocess.Popen([shotsieve, "request-auth"], env=dict(environment(home), DBUS_SESSION_BUS_ADDRESS=address),
                          stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True)
while not server.lines("Notify"):
    time.sleep(0.02)
asking.kill()
asking.wait()
server.stop()
check("a killed request records nothing", recorded(home) is None, recorded(home))
server = Server("allow")
answer, _, took = request(home, log="after a killed request")
check("the next request asks at once, not after the killed one", answer == {"status": "authorized"} and took < 5,
      (answer, f"{took:.2f} s"))
server.stop()

# A host's thread asks on the desktop too.
for mode, expected in (("allow", "authorized"), ("dismiss", "not-determined")):
    home = new_home("shotsieve-host-")
    os.remove(state_file(home))
    server = Server(mode)
    answer, error, _ = request(home, command=[host, library, "request"], log=f"pk_request_auth {mode}")
    check(f"pk_request_auth on a host thread, {mode}: {expected}", answer == {"status": expected}, (answer, error))
    check(f"pk_request_auth writes nothing on standard error ({mode})", error == "", error)
    server.stop()
daemon.kill()
daemon.wait()

# An answer withdrawn while a watch runs ends it at once, as at its start;
# a watch with nothing to report looks every few seconds.
sample = sample_png(make_library)
for withdraw in ("denied", "removed", "denied while idle"):
    home = new_home("shotsieve-withdrawn-")
    shots = os.path.join(home, "Pictures/Screenshots")
    screenshot(os.path.join(shots, "before.png"), sample)
    watch = Watch(shotsieve, home)
    screenshot(os.path.join(shots, "while-allowed.png"), sample_png(make_library, "shot tool 1"))
    check(f"{withdraw}: a screenshot while allowed is reported", len(uuids(watch.lines(1, 30))) == 1)
    if withdraw.startswith("denied"):
        with open(state_file(home), "w") as f:
            f.write("denied\n")
    else:
        os.remove(state_file(home))
    if withdraw != "denied while idle":
        screenshot(os.path.join(shots, "after.png"), sample_png(make_library, "shot tool 2"))
    try:
        status = watch.proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        status = "still running after 30 s"
        watch.proc.kill()
    rest = (watch.buffer + watch.proc.stdout.read()).decode().splitlines()
    word = "not-determined" if withdraw == "removed" else "denied"
    check(f"{withdraw}: the watch ends with status 2", status == 2, status)
    check(f"{withdraw}: its last line is the refusal",
          rest and json.loads(rest[-1]) == {"error": "not-authorized", "status": word}, rest)
    check(f"{withdraw}: no line for a screenshot added after", not any("screenshot-added" in line for line in rest), rest)
shutil.rmtree(scratch, ignore_errors=True)
finish()
