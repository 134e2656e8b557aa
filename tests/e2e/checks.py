"""Helpers shared by the Python end-to-end scripts: named checks, a temporary
HOME with access granted, and the closing count."""
import os
import sys
import tempfile

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
    os.makedirs(os.path.join(home, ".local/state/shotsieve"))
    with open(os.path.join(home, ".local/state/shotsieve/photo-library-access"), "w") as f:
        f.write("authorized\n")
    return home


def environment(home):
    env = dict(os.environ, HOME=home)
    for name in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    # No session bus: a request never asks on the desktop of whoever runs the tests.
    env["XDG_RUNTIME_DIR"] = os.path.join(home, "run")
    return env


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
