"""A running `shotsieve watch` for the end-to-end scripts, and what they do to it:
screenshots written as tools write them, and system limits lowered for a moment."""
import json
import os
import select
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import check, environment  # noqa: E402
from schemas import validate  # noqa: E402

class Watch:
    """A running `shotsieve watch` in a temporary HOME."""

    def __init__(self, shotsieve, home, default_sigpipe=True, user=None, extra_env=None, command=None):
        self.home = home
        self.err = open(os.path.join(home, "watch.err"), "wb")
        env = dict(environment(home), **(extra_env or {}))
        self.proc = subprocess.Popen((command or []) + [shotsieve, "watch"], env=env, stdout=subprocess.PIPE, stderr=self.err,
                                     restore_signals=default_sigpipe, user=user)
        self.buffer = b""
        self.start = self.line(10)

    def line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\n", 1)
        line = json.loads(text)
        problems = validate("watch-line", line)
        if problems:
            check("a watch line matches its schema", False, problems)
        return line

    def lines(self, count, timeout, quiet=1.0):
        """Up to `count` lines within `timeout`, then any more that come in a quiet spell."""
        got, deadline = [], time.monotonic() + timeout
        while len(got) < count and time.monotonic() < deadline:
            line = self.line(deadline - time.monotonic())
            if line is not None:
                got.append(line)
        while True:
            line = self.line(quiet)
            if line is None:
                return got
            got.append(line)

    def processes(self):
        """The watch's processes: the one started and, where it confines its
        workers, the worker it runs now (its child)."""
        found = [self.proc.pid]
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        if int(f.read().rsplit(")", 1)[1].split()[1]) == self.proc.pid:
                            found.append(int(entry))
                except (OSError, ValueError):
                    pass
        return found

    def worker(self):
        """The process that watches: the worker, or the process started when it has none."""
        return self.processes()[-1]

    def ticks(self):
        total = 0
        for pid in self.processes():
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            except OSError:
                pass
        return total

    def memory_kib(self):
        """The resident memory of the watching process now."""
        with open(f"/proc/{self.worker()}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    def descriptors(self, steady=1.5, limit=20):
        """The watching process's open descriptors once their count has held
        for `steady` seconds: a file read or an index written a moment ago
        holds one for a while, a leaked one stays."""
        counted, since, deadline = None, time.monotonic(), time.monotonic() + limit
        while time.monotonic() < deadline:
            now = len(os.listdir(f"/proc/{self.worker()}/fd"))
            if now != counted:
                counted, since = now, time.monotonic()
            elif time.monotonic() - since >= steady:
                break
            time.sleep(0.1)
        return counted

    def stop(self, stderr=b""):
        """Ends the watch; what it wrote on standard error is checked against `stderr`."""
        self.proc.kill()
        self.proc.wait()
        self.err.close()
        with open(os.path.join(self.home, "watch.err"), "rb") as f:
            written = f.read()
        check("standard error as expected", written == stderr, written)


def sample_png(make_library, software=None):
    """The bytes of a real screenshot-sized PNG; another Software text makes another image."""
    path = os.path.join(tempfile.gettempdir(), f"shotsieve-e2e-{os.getpid()}.png")
    subprocess.run([make_library, "png", path] + ([software] if software else []), check=True)
    with open(path, "rb") as f:
        data = f.read()
    os.remove(path)
    return data


def screenshot(path, data):
    """Saved under a hidden name and renamed in, as tools do."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    hidden = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".tmp")
    with open(hidden, "wb") as f:
        f.write(data)
    os.rename(hidden, path)


def uuids(lines):
    return [line["asset"]["uuid"] for line in lines if line.get("event") == "screenshot-added"]


def lower(limit_file, value):
    """Lowers a system limit; returns the old value, or None when that is not allowed here."""
    try:
        with open(limit_file) as f:
            saved = f.read()
        with open(limit_file, "w") as f:
            f.write(f"{value}\n")
        return saved
    except OSError:
        return None


def restore(limit_file, saved):
    with open(limit_file, "w") as f:
        f.write(saved)


