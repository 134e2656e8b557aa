"""What the end-to-end scripts share: named checks and their count, a
temporary HOME, answers run and checked against the JSON Schemas in schema/
(Debian's python3-jsonschema 4.10 and newer releases alike), a listing
checked against its Pictures folder, a running `shotsieve watch`, screenshots
written as tools write them, and system limits lowered for a moment."""
import filecmp
import json
import os
import select
import subprocess
import sys
import tempfile
import time

import jsonschema

_counts = {"passed": 0, "failed": 0}


def check(name, ok, detail=""):
    if ok:
        _counts["passed"] += 1
    else:
        _counts["failed"] += 1
        print(f"FAIL: {name} {detail}", file=sys.stderr)


def new_home(prefix):
    """A temporary HOME whose access state says authorized."""
    home = tempfile.mkdtemp(prefix=prefix)
    os.makedirs(os.path.dirname(state_file(home)))
    grant(home, "authorized")
    return home


def environment(home):
    env = dict(os.environ, HOME=home)
    for name in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    # No session bus: a request never asks on the desktop of whoever runs the tests.
    env["XDG_RUNTIME_DIR"] = os.path.join(home, "run")
    return env


def preloading(env, library, **variables):
    """`env` with `library` preloaded into the program (and what tells it what to do)."""
    # AddressSanitizer's runtime wants to be the first library loaded; a test's preload comes before it.
    asan = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return dict(env, LD_PRELOAD=library, ASAN_OPTIONS=asan, **variables)


def state_file(home):
    """Where the access answer is recorded."""
    return os.path.join(home, ".local/state/shotsieve/photo-library-access")


def recorded(home):
    """The recorded access answer, or None when nothing is recorded."""
    try:
        with open(state_file(home)) as f:
            return f.read().strip()
    except FileNotFoundError:
        return None


def finish():
    print(f"{_counts['passed']} passed, {_counts['failed']} failed")
    sys.exit(1 if _counts["failed"] else 0)


def grant(home, word):
    """Records an access answer, or none with None."""
    if word is None:
        os.remove(state_file(home))
        return
    with open(state_file(home), "w") as f:
        f.write(word + "\n")


KINDS = {"auth-status": "auth-status", "request-auth": "auth-status", "list": "list-result",
         "list-today": "today-result"}


def run(shotsieve, home, *args, status=0, env=None, **options):
    """Runs a command in `home`: its answer, parsed and checked against the
    schema of its kind (None when it printed nothing), and its status checked."""
    out = subprocess.run([os.path.abspath(shotsieve), *args], env=env or environment(home), capture_output=True,
                         **options)
    check(f"status of {' '.join(args)[:80]}", out.returncode == status, (out.returncode, out.stderr[-300:]))
    if not out.stdout.strip():
        return None
    answer = json.loads(out.stdout)
    kind = "watch-line" if args[0] == "watch" else KINDS.get(args[0], "list-result")
    problems = validate(kind, answer)
    check(f"the {args[0]} answer matches its schema", not problems, problems)
    return answer


def copies(exports):
    """The copies in an export folder, by name."""
    return sorted(n for n in os.listdir(exports) if n != "CACHEDIR.TAG")


def originals(pictures):
    """Every file of a Pictures folder, by name."""
    return {name: os.path.join(d, name) for d, _, names in os.walk(pictures) for name in names}


def listing_problem(answer, pictures, exports):
    """Why a list answer does not match the Pictures folder it came from (an
    entry malformed, missing, out of order, or its copy one byte off), or None."""
    if not isinstance(answer, list):
        return f"not a list: {answer}"
    files = originals(pictures)
    for entry in answer:
        if set(entry) != {"uuid", "date", "width", "height", "original_filename", "path", "ismissing"}:
            return f"members: {entry}"
        if entry["ismissing"] or entry["path"] != os.path.join(exports, entry["uuid"] + ".png"):
            return f"not copied: {entry}"
        if not filecmp.cmp(files[entry["original_filename"]], entry["path"], shallow=False):
            return f"the copy differs from its original: {entry}"
    dates = [entry["date"] for entry in answer]
    return None if dates == sorted(dates, reverse=True) else "not newest first"


SCHEMA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "schema")


def _schemas():
    found = {}
    for name in sorted(os.listdir(SCHEMA_DIR)):
        if name.endswith(".schema.json"):
            with open(os.path.join(SCHEMA_DIR, name), encoding="utf-8") as f:
                found[name[: -len(".schema.json")]] = json.load(f)
    return found


SCHEMAS = _schemas()


def validator(kind):
    schema = SCHEMAS[kind]
    try:  # jsonschema 4.18 and later resolve references through a registry
        from referencing import Registry, Resource
        registry = Registry().with_resources(
            (s["$id"], Resource.from_contents(s)) for s in SCHEMAS.values())
        return jsonschema.Draft202012Validator(schema, registry=registry)
    except ImportError:
        store = {s["$id"]: s for s in SCHEMAS.values()}
        resolver = jsonschema.RefResolver.from_schema(schema, store=store)
        return jsonschema.Draft202012Validator(schema, resolver=resolver)


_validators = {}


def validate(kind, answer):
    if kind not in _validators:
        _validators[kind] = validator(kind)
    return [f"{'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}"
            for e in _validators[kind].iter_errors(answer)]


def _thread_cpu_ms(task):
    try:
        with open(f"{task}/schedstat") as f:
            return int(f.read().split()[0]) / 1e6
    except FileNotFoundError:  # a kernel without scheduler statistics: whole ticks then
        with open(f"{task}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")


class Watch:
    """A running `shotsieve watch` in a temporary HOME."""

    def __init__(self, shotsieve, home, default_sigpipe=True, user=None, extra_env=None, command=None):
        self.home = home
        self.err = open(os.path.join(home, "watch.err"), "wb")
        env = dict(environment(home), **(extra_env or {}))
        self.proc = subprocess.Popen((command or []) + [shotsieve, "watch"], env=env, stdout=subprocess.PIPE, stderr=self.err,
                                     restore_signals=default_sigpipe, user=user)
        self.buffer = b""
        self.start = self.line(30)

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
        self.text, self.buffer = self.buffer.split(b"\n", 1)
        line = json.loads(self.text)
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

    def cpu_ms(self):
        """CPU time of the watch's processes so far, to the microsecond: the
        scheduler's own sum per thread, not whole clock ticks, which a
        millisecond of work can push up by one in each field of each process."""
        total = 0.0
        for pid in self.processes():
            try:
                tasks = os.listdir(f"/proc/{pid}/task")
            except OSError:
                continue
            for task in tasks:
                try:
                    total += _thread_cpu_ms(f"/proc/{pid}/task/{task}")
                except OSError:  # the thread ended meanwhile
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
