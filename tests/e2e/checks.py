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
    for name in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"):
        env.pop(name, None)
    return env


def finish():
    print(f"{_counts['passed']} passed, {_counts['failed']} failed")
    sys.exit(1 if _counts["failed"] else 0)
