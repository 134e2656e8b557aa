#!/usr/bin/env python3
"""Benchmarks of shotsieve against shell baselines, on a generated Pictures folder.

usage: bench/run.py BUILD_DIR {fetch|list|watch|callers|...|all} [--screenshots N] [--photos M]

Every figure is measured in the same run as its baseline, with the page cache
warm. Wall times are medians of several runs; peak memory is the largest
resident set of the measured process.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, env=None, stdout=subprocess.DEVNULL):
    """Runs a command; returns (seconds, peak resident KiB, stdout text)."""
    started = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE if stdout is None else stdout,
                            stderr=subprocess.DEVNULL, shell=isinstance(cmd, str))
    out = proc.stdout.read() if stdout is None else b""
    _, status, usage = os.wait4(proc.pid, 0)
    took = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) not in (0,):
        raise RuntimeError(f"{cmd} failed with {status}")
    return took, usage.ru_maxrss, out.decode("utf-8", "replace")


def median(cmd, times=5, env=None, before=None):
    samples, peak = [], 0
    for _ in range(times):
        if before:
            before()
        took, rss, _ = run(cmd, env)
        samples.append(took)
        peak = max(peak, rss)
    return statistics.median(samples), peak


def authorized_home(home):
    """The environment of a run whose HOME is `home`, its access granted."""
    state = os.path.join(home, ".local/state/shotsieve")
    os.makedirs(state, exist_ok=True)
    with open(os.path.join(state, "photo-library-access"), "w") as f:
        f.write("authorized\n")
    env = dict(os.environ, HOME=home)
    for name in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"):
        env.pop(name, None)
    return env


class Library:
    def __init__(self, build, screenshots, photos, days=60, small=False):
        self.build = build
        self.files = screenshots + photos
        self.home = tempfile.mkdtemp(prefix="shotsieve-bench-")
        self.root = os.path.join(self.home, "Pictures")
        self.env = dict(os.environ, HOME=self.home)
        for name in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"):
            self.env.pop(name, None)
        started = time.perf_counter()
        subprocess.run([os.path.join(build, "bench/make_library"), "library", self.root, str(screenshots),
                        str(photos), str(days)] + (["small"] if small else []), check=True)
        print(f"generated {screenshots} screenshots and {photos} photos over {days} days "
              f"in {time.perf_counter() - started:.1f} s")
        state = os.path.join(self.home, ".local/state/shotsieve")
        os.makedirs(state)
        with open(os.path.join(state, "photo-library-access"), "w") as f:
            f.write("authorized\n")

    prefix = []  # a runner the program is started through

    def shotsieve(self, *args):
        return [*self.prefix, os.path.join(self.build, "src/cli/shotsieve"), *args]

    def close(self):
        shutil.rmtree(self.home, ignore_errors=True)


def bench_fetch(lib):
    fetch = [os.path.join(lib.build, "bench/fetch_screenshots"), lib.root, "7"]
    cache = os.path.join(lib.home, ".cache/shotsieve")
    find = f"find '{lib.root}' -type f -printf '%T@ %s %p\\n' >/dev/null"
    run(find)  # warm the page cache
    cold_took, _, out = run(fetch + [cache], stdout=None)
    count = out.split()[0]
    find_s, _ = median(find)
    fetch_s, fetch_rss = median(fetch + [cache])
    noindex_s, _ = median(fetch + [""], times=3)
    print(f"fetch of the last 7 days: {count} screenshots")
    print(f"  stat-only walk (find -printf):        {find_s * 1000:8.1f} ms")
    print(f"  fetch, metadata index warm:           {fetch_s * 1000:8.1f} ms  ({fetch_s / find_s:.2f}x the walk), "
          f"peak {fetch_rss / 1024:.1f} MiB")
    print(f"  fetch, first run (index built):       {cold_took * 1000:8.1f} ms")
    print(f"  fetch, no index (reads every header): {noindex_s * 1000:8.1f} ms")
    if shutil.which("exiftool"):
        exif_s, _, _ = run(["exiftool", "-json", "-r", "-ImageWidth", "-ImageHeight", "-DateTimeOriginal", lib.root])
        print(f"  exiftool -json -r:                    {exif_s * 1000:8.1f} ms  ({exif_s / fetch_s:.0f}x the fetch)")
    else:
        print("  exiftool: not installed (apt-get install libimage-exiftool-perl)")


def bench_list(lib):
    out = os.path.join(lib.home, "exports")
    copy_dir = os.path.join(lib.home, "copies")
    fetch = [os.path.join(lib.build, "bench/fetch_screenshots"), lib.root, "7", os.path.join(lib.home, ".cache/shotsieve")]
    run(fetch)  # metadata index and page cache warm
    # The files a 7-day list exports, for the baselines.
    _, _, answer = run(lib.shotsieve("list", "7", os.path.join(lib.home, "probe")), env=lib.env, stdout=None)
    import json
    entries = json.loads(answer)
    originals = {}
    for folder, _, names in os.walk(lib.root):
        for name in names:
            originals[name] = os.path.join(folder, name)
    files = [originals[e["original_filename"]] for e in entries]
    listfile = os.path.join(lib.home, "files.txt")
    with open(listfile, "w") as f:
        f.write("\0".join(files))
    size = sum(os.path.getsize(p) for p in files)
    print(f"list 7: {len(files)} screenshots, {size / 2**20:.0f} MiB of originals")

    def clear():
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(copy_dir, ignore_errors=True)
        os.makedirs(copy_dir)
        subprocess.run("sync", shell=True)

    cp = f"xargs -0 cp -t '{copy_dir}' <'{listfile}'"
    cp_sync = f"{cp} && sync -f '{copy_dir}'"
    cold_s, cold_rss = median(lib.shotsieve("list", "7", out), env=lib.env, before=clear, times=3)
    cp_s, _ = median(cp, before=clear, times=3)
    cp_sync_s, _ = median(cp_sync, before=clear, times=3)
    print(f"  cold (every file exported):  {cold_s * 1000:8.1f} ms, peak {cold_rss / 1024:.1f} MiB")
    print(f"  cp + sync baseline:          {cp_sync_s * 1000:8.1f} ms  (cold is {cold_s / cp_sync_s:.2f}x)")
    print(f"  plain cp:                    {cp_s * 1000:8.1f} ms")
    run(lib.shotsieve("list", "7", out), env=lib.env)
    warm_s, warm_rss = median(lib.shotsieve("list", "7", out), env=lib.env)
    cached = os.path.join(lib.home, "cached.txt")
    with open(cached, "w") as f:
        f.write("\0".join(os.path.join(out, n) for n in os.listdir(out)))
    touch_prune = (f"xargs -0 touch <'{cached}' && "
                   f"find '{out}' -mindepth 1 -maxdepth 1 -mmin +20160 -delete")
    touch_s, _ = median(touch_prune)
    fetch_s, _ = median(fetch)
    print(f"  warm (every file cached):    {warm_s * 1000:8.1f} ms, peak {warm_rss / 1024:.1f} MiB")
    print(f"  touch + prune baseline:      {touch_s * 1000:8.1f} ms; library fetch {fetch_s * 1000:.1f} ms; "
          f"warm is {warm_s / (touch_s + fetch_s):.2f}x their sum")


def time_start_line(cmd, env):
    """Seconds until a command's first line, then it is stopped."""
    started = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    proc.stdout.readline()
    took = time.perf_counter() - started
    proc.kill()
    proc.wait()
    return took


def bench_coldstart(lib, times=5):
    """First runs on a large library with no metadata index, and warm runs, against find."""
    index = os.path.join(lib.home, ".cache/shotsieve/metadata-index")
    out = os.path.join(lib.home, "exports")

    def no_index():
        # The folders' records go too: they would vouch for folders the index no longer knows.
        shutil.rmtree(os.path.dirname(index), ignore_errors=True)

    def no_index_empty_dir():
        no_index()
        shutil.rmtree(out, ignore_errors=True)

    printf = f"find '{lib.root}' -type f -printf '%T@ %s %p\\n' >/dev/null"
    heads = f"find '{lib.root}' -type f -exec head -q -c 4096 {{}} + >/dev/null"
    run(printf)  # page cache warm
    run(heads)
    printf_s, _ = median(printf, times)
    heads_s, _ = median(heads, times)
    today_cold_s, today_cold_rss = median(lib.shotsieve("list-today"), times, env=lib.env, before=no_index)
    list_cold_s, list_cold_rss = median(lib.shotsieve("list", "7", out), times, env=lib.env, before=no_index_empty_dir)
    watch = []
    for _ in range(times):
        no_index()
        watch.append(time_start_line(lib.shotsieve("watch"), lib.env))
    watch_s = statistics.median(watch)
    run(lib.shotsieve("list-today"), env=lib.env)  # builds the index
    today_warm_s, today_warm_rss = median(lib.shotsieve("list-today"), times, env=lib.env)
    size = os.path.getsize(index) if os.path.exists(index) else 0
    print(f"cold start, {lib.files} files, page cache warm:")
    print(f"  find -printf:                      {printf_s * 1000:8.1f} ms")
    print(f"  find -exec head -c 4096:           {heads_s * 1000:8.1f} ms")
    print(f"  watch start line, no index:        {watch_s * 1000:8.1f} ms  ({watch_s / heads_s:.2f}x find+head)")
    print(f"  list-today, no index:              {today_cold_s * 1000:8.1f} ms  ({today_cold_s / printf_s:.2f}x find -printf), "
          f"peak {today_cold_rss / 1024:.1f} MiB")
    print(f"  list 7 into an empty dir, no index:{list_cold_s * 1000:8.1f} ms  ({list_cold_s / printf_s:.2f}x find -printf), "
          f"peak {list_cold_rss / 1024:.1f} MiB")
    print(f"  list-today, index warm:            {today_warm_s * 1000:8.1f} ms  ({today_warm_s / printf_s:.2f}x find -printf), "
          f"peak {today_warm_rss / 1024:.1f} MiB")
    print(f"  index on disk: {size / 2**20:.1f} MiB")


def interleaved(commands, times, before=None, env=None):
    """Medians of each command, run in turn (A B C A B C ...) so drift hits all alike."""
    samples = {name: [] for name in commands}
    for _ in range(times):
        for name, cmd in commands.items():
            if before:
                before(name)
            if callable(cmd):
                samples[name].append(cmd())
            else:
                samples[name].append(run(cmd, env)[0])
    return {name: statistics.median(values) for name, values in samples.items()}


def bench_callers(lib, times=7, others=7):
    """One `list 7` into a new export folder, alone and with seven other
    listings into the same folder started at the same moment; every entry
    of every answer must have its copy."""
    missing = {"alone": 0, "beside others": 0}

    def listing(name, count):
        def measure():
            exports = os.path.join(lib.home, "callers-exports")
            shutil.rmtree(exports, ignore_errors=True)
            cmd = lib.shotsieve("list", "7", exports)
            rest = [subprocess.Popen(cmd, env=lib.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                    for _ in range(count)]
            took, _, out = run(cmd, lib.env, stdout=None)
            answers = [out] + [p.communicate()[0].decode() for p in rest]
            missing[name] += sum(a.count('"ismissing":true') for a in answers)
            return took
        return measure

    got = interleaved({"alone": listing("alone", 0), "beside others": listing("beside others", others)}, times)
    print(f"list 7 into a new folder, alone:             {got['alone'] * 1000:8.1f} ms")
    print(f"... with {others} other listings into it at once: {got['beside others'] * 1000:8.1f} ms "
          f"({got['beside others'] / got['alone']:.2f}x)")
    print(f"entries without their copy: alone {missing['alone']}, beside others {missing['beside others']}")


def drop_caches():
    subprocess.run("sync; echo 3 > /proc/sys/vm/drop_caches", shell=True, check=True)


def bench_realistic(build, library, times=3):
    """First runs on a library shaped like a real one, cold and warm, against their floors."""
    home = os.path.dirname(library)
    env = dict(os.environ, HOME=home)
    for name in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"):
        env.pop(name, None)
    state = os.path.join(home, ".local/state/shotsieve")
    os.makedirs(state, exist_ok=True)
    with open(os.path.join(state, "photo-library-access"), "w") as f:
        f.write("authorized\n")
    shotsieve = os.path.join(build, "src/cli/shotsieve")
    index = os.path.join(home, ".cache/shotsieve/metadata-index")
    out = os.path.join(home, "exports")

    def no_index(_=None):
        # The folders' records go too: they would vouch for folders the index no longer knows.
        shutil.rmtree(os.path.dirname(index), ignore_errors=True)
        shutil.rmtree(out, ignore_errors=True)

    files = sum(len(names) for _, _, names in os.walk(library))
    printf = f"find '{library}' -type f -printf '%T@ %s %p\\n' >/dev/null"
    heads = f"find '{library}' -type f -exec head -q -c 4096 {{}} + >/dev/null"
    floor = [os.path.join(build, "bench/floor_reader"), library]
    rows = []
    if os.geteuid() == 0:
        # The program's own start, read from the disk too: a listing of an empty Pictures folder.
        empty_home = tempfile.mkdtemp(prefix="shotsieve-empty-")
        os.makedirs(os.path.join(empty_home, "Pictures"))
        empty_env = authorized_home(empty_home)
        cold = interleaved({"floor": floor, "list-today": [shotsieve, "list-today"], "list 7": [shotsieve, "list", "7", out],
                            "start": lambda: run([shotsieve, "list-today"], empty_env)[0]},
                           times, before=lambda _: (no_index(), drop_caches()), env=env)
        shutil.rmtree(empty_home, ignore_errors=True)
        rows += [("page cache dropped: floor (4 KiB of every file, 8 threads)", cold["floor"], None),
                 ("page cache dropped: list-today, no index", cold["list-today"], cold["list-today"] / cold["floor"]),
                 ("page cache dropped: list 7 into an empty folder, no index", cold["list 7"], cold["list 7"] / cold["floor"]),
                 ("page cache dropped: list-today of an empty Pictures folder", cold["start"], None),
                 ("page cache dropped: list-today, less that start", cold["list-today"] - cold["start"],
                  (cold["list-today"] - cold["start"]) / cold["floor"])]
    else:
        print("skipped the cold runs: dropping the page cache needs root")
    run(heads)  # every file's head in the page cache
    warm = interleaved({"printf": printf, "heads": heads,
                        "watch": lambda: time_start_line([shotsieve, "watch"], env),
                        "list-today": [shotsieve, "list-today"], "list 7": [shotsieve, "list", "7", out]},
                       max(times, 5), before=lambda _: no_index(), env=env)
    rows += [("page cache warm: find -printf", warm["printf"], None),
             ("page cache warm: find -exec head -c 4096", warm["heads"], None),
             ("page cache warm: watch start line, no index", warm["watch"], warm["watch"] / warm["heads"]),
             ("page cache warm: list-today, no index", warm["list-today"], warm["list-today"] / warm["printf"]),
             ("page cache warm: list 7, no index", warm["list 7"], warm["list 7"] / warm["printf"])]
    run([shotsieve, "list-today"], env)  # the index
    indexed = interleaved({"printf": printf, "list-today": [shotsieve, "list-today"]}, max(times, 7), env=env)
    rows.append(("index warm: list-today", indexed["list-today"], indexed["list-today"] / indexed["printf"]))
    print(f"{files} files in {library}:")
    for name, seconds, ratio in rows:
        print(f"  {name:60} {seconds * 1000:8.1f} ms" + (f"  {ratio:.2f}x" if ratio else ""))


def block_reads(path):
    """Reads completed and bytes read so far by the disk that holds a path."""
    dev = os.stat(path).st_dev
    fields = open(f"/sys/dev/block/{os.major(dev)}:{os.minor(dev)}/stat").read().split()
    if not os.path.exists(f"/sys/dev/block/{os.major(dev)}:{os.minor(dev)}/partition"):
        return int(fields[0]), int(fields[2]) * 512
    whole = os.path.realpath(f"/sys/dev/block/{os.major(dev)}:{os.minor(dev)}/..")
    fields = open(os.path.join(whole, "stat")).read().split()
    return int(fields[0]), int(fields[2]) * 512


def bench_formats(build, library, times=3):
    """Per format, with the page cache dropped: what a first list-today reads
    from the disk, against the floor's 4 KiB per file; then the library as a
    whole, cold and warm, as the realistic bench times it."""
    if os.geteuid() != 0:
        print("skipped: dropping the page cache needs root")
        return
    shotsieve = os.path.join(build, "src/cli/shotsieve")
    floor = os.path.join(build, "bench/floor_reader")
    by_format = {}
    for folder, _, names in os.walk(library):
        for name in names:
            by_format.setdefault(name.rsplit(".", 1)[-1], []).append(os.path.join(folder, name))
    scratch = tempfile.mkdtemp(prefix="shotsieve-formats-")
    print("with the page cache dropped, per file, less what each command reads of an empty Pictures folder "
          "(its program and libraries):")
    print(f"{'format':6} {'files':>6} {'list-today: reads/file':>23} {'KiB/file':>9} {'ms':>8}"
          f" {'floor: reads/file':>18} {'KiB/file':>9} {'ms':>8} {'ratio':>6}")
    empty = None
    try:
        for fmt, paths in [("", [])] + sorted(by_format.items()):
            home = os.path.join(scratch, fmt or "empty")
            pictures = os.path.join(home, "Pictures")
            os.makedirs(pictures)
            for path in paths:  # the same files, linked: what is read is what the whole library holds
                target = os.path.join(pictures, os.path.relpath(path, library))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                os.link(path, target)
            env = authorized_home(home)
            figures = {}
            for name, cmd in (("list-today", [shotsieve, "list-today"]), ("floor", [floor, pictures])):
                samples = []
                for _ in range(times):
                    shutil.rmtree(os.path.join(home, ".cache"), ignore_errors=True)
                    drop_caches()
                    reads, read_bytes = block_reads(pictures)
                    took = run(cmd, env)[0]
                    after_reads, after_bytes = block_reads(pictures)
                    samples.append((took, after_reads - reads, after_bytes - read_bytes))
                figures[name] = tuple(statistics.median(sample[i] for sample in samples) for i in range(3))
            if empty is None:
                empty = figures
                continue
            ours, theirs = [((figures[n][1] - empty[n][1]) / len(paths), (figures[n][2] - empty[n][2]) / len(paths) / 1024,
                             (figures[n][0] - empty[n][0]) * 1000) for n in ("list-today", "floor")]
            print(f"{fmt:6} {len(paths):6} {ours[0]:23.2f} {ours[1]:9.1f} {ours[2]:8.1f}"
                  f" {theirs[0]:18.2f} {theirs[1]:9.1f} {theirs[2]:8.1f} {ours[2] / theirs[2]:6.2f}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    bench_realistic(build, library, times)


def bench_confinement(lib, times=15):
    """Confined against unconfined, both through the same runner: the runner
    with --as-is leaves the program to confine itself; without, it takes
    Landlock and seccomp away as an older kernel would."""
    runner = os.path.join(lib.build, "tests/without_confinement")
    modes = {"confined": [runner, "--as-is"], "unconfined": [runner]}
    index = os.path.join(lib.home, ".cache/shotsieve/metadata-index")
    run(lib.shotsieve("list-today"), env=lib.env)  # the index
    warm = {}
    for name, prefix in modes.items():
        lib.prefix = prefix
        warm[name] = lib.shotsieve("list-today")
    warm = interleaved(warm, times, env=lib.env)
    print(f"list-today, index warm: confined {warm['confined'] * 1000:.1f} ms, unconfined "
          f"{warm['unconfined'] * 1000:.1f} ms, ratio {warm['confined'] / warm['unconfined']:.3f}")
    cold = {}
    for name, prefix in modes.items():
        lib.prefix = prefix
        cold[name] = lib.shotsieve("list-today")

    def no_index(_):
        # The folders' records go too: they would vouch for folders the index no longer knows.
        shutil.rmtree(os.path.dirname(index), ignore_errors=True)
        if os.geteuid() == 0:
            drop_caches()
    cold = interleaved(cold, max(3, times // 3), before=no_index, env=lib.env)
    state = "page cache dropped" if os.geteuid() == 0 else "page cache warm (not root)"
    print(f"list-today, no index, {state}: confined {cold['confined'] * 1000:.1f} ms, unconfined "
          f"{cold['unconfined'] * 1000:.1f} ms, ratio {cold['confined'] / cold['unconfined']:.3f}")
    for name, prefix in modes.items():
        lib.prefix = prefix
        print(f"{name}:")
        bench_watch(lib)
    lib.prefix = []


def bench_memory(build, count):
    """Peak memory of a list whose window holds `count` screenshots (cached exports)."""
    lib = Library(build, count, 0, days=1, small=True)
    try:
        out = os.path.join(lib.home, "exports")
        run(lib.shotsieve("list", "2", out), env=lib.env)
        took, rss, _ = run(lib.shotsieve("list", "2", out), env=lib.env)
        print(f"list with {count} screenshots in the window (warm): {took:.2f} s, peak {rss / 1024:.1f} MiB")
        took, rss, _ = run(lib.shotsieve("list", "7", out), env=lib.env)
        print(f"list 7 with {count} screenshots in the window (warm): {took:.2f} s, peak {rss / 1024:.1f} MiB")
        took, rss, _ = run(lib.shotsieve("list-today"), env=lib.env)
        print(f"list-today with {count} screenshots today (warm): {took:.2f} s, peak {rss / 1024:.1f} MiB")
    finally:
        lib.close()


def watch_ticks(pid):
    """CPU ticks of a watch: the process started and its worker, where it confines one."""
    total = 0
    for entry in [str(pid)] + [e for e in os.listdir("/proc") if e.isdigit()]:
        try:
            fields = open(f"/proc/{entry}/stat").read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if entry == str(pid) or int(fields[1]) == pid:
            total += int(fields[11]) + int(fields[12])
    return total


def line_clock(stream, arrivals):
    """Stamps each line of a stream as it arrives: a reader thread per stream,
    so that neither stream waits on the other."""
    for raw in iter(stream.readline, b""):
        arrivals.append((time.perf_counter(), raw.decode("utf-8", "replace").strip()))


def screenshot_png(path, size):
    """A screenshot of the given size as a screen's content compresses: ImageMagick's plasma, 8-bit RGB."""
    subprocess.run(["convert", "-size", size, "-seed", "7", "plasma:", "-depth", "8", "-set", "Software",
                    "gnome-screenshot", f"PNG24:{path}"], check=True)
    return open(path, "rb").read()


def percentile_ms(values, p):
    return sorted(values)[min(len(values) - 1, int(len(values) * p))] * 1000 if values else float("nan")


def inotifywait_on(folder):
    """inotifywait on a folder, set up, its lines stamped as they arrive: (process, lines)."""
    peer = subprocess.Popen(["inotifywait", "-m", "-e", "close_write,moved_to", "--format", "%f", folder],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    peer.stderr.readline()  # "Setting up watches."
    peer.stderr.readline()  # "Watches established."
    lines = []
    threading.Thread(target=line_clock, args=(peer.stdout, lines), daemon=True).start()
    return peer, lines


def send_screenshot(folder, name, data, renamed, ours, within=60):
    """Writes a screenshot in place, or under a hidden name renamed in, and
    waits for its watch line: (the time of the event, the line's latency or None)."""
    path = os.path.join(folder, name)
    tmp = os.path.join(folder, f".{name}.tmp")
    # Both clocks start at the call that makes the event: the close of a
    # file written in place, the rename of one written under a hidden name.
    # Lines are counted before the event: its own may come before the next step.
    lines = len(ours)
    f = open(tmp if renamed else path, "wb")
    f.write(data)
    f.flush()
    if renamed:
        f.close()
        sent = time.perf_counter()
        os.rename(tmp, path)
    else:
        sent = time.perf_counter()
        f.close()
    deadline = time.monotonic() + within
    while len(ours) == lines and time.monotonic() < deadline:
        time.sleep(0.0002)
    return sent, ours[lines][0] - sent if len(ours) > lines else None


def bench_watch(lib, count=200, burst=2000):
    """Latency from close or rename of a new screenshot to its line at the reader."""
    if not shutil.which("inotifywait"):
        print("watch: inotifywait not installed (apt-get install inotify-tools)")
        return
    os.makedirs(os.path.join(lib.root, "Screenshots"), exist_ok=True)
    sample = min(os.path.join(d, n) for d, _, ns in os.walk(lib.root) for n in ns if n.endswith(".png"))
    samples = [("the library's", open(sample, "rb").read())]
    if shutil.which("convert"):
        scratch = tempfile.mkdtemp(prefix="shots-", dir=lib.home)
        samples += [(size, screenshot_png(os.path.join(scratch, f"{size}.png"), size)) for size in ("1280x800", "2560x1440")]
    watcher = subprocess.Popen(lib.shotsieve("watch"), env=lib.env, stdout=subprocess.PIPE)
    watcher.stdout.readline()  # start line
    # A watch line does not name its file: lines are matched to files in
    # order, one file at a time. inotifywait's lines are matched by name.
    ours = []
    threading.Thread(target=line_clock, args=(watcher.stdout, ours), daemon=True).start()
    print(f"watch, {count} screenshots 50 ms apart per size (half written in place, half renamed in):")
    for label, data in samples:
        # Folders of their own: a second run over the same names would write over
        # known screenshots, which are not new.
        shots = tempfile.mkdtemp(prefix="incoming-", dir=os.path.join(lib.root, "Screenshots"))
        peer, theirs = inotifywait_on(shots)
        sent, mine = {}, []
        for i in range(count):
            name = f"bench-{label.replace(' ', '-').replace(chr(39), '')}-{i}.png"
            sent[name], took = send_screenshot(shots, name, data, i % 2, ours)
            if took is None:
                print(f"    no line for {name} within 60 s", flush=True)
            else:
                mine.append(took)
                if took > 0.1:
                    print(f"    the line for {name} came after {took:.3f} s", flush=True)
            time.sleep(0.05)
        peer.kill()
        arrived = {line: at for at, line in reversed(theirs)}  # the first line of each name
        peers = [arrived[n] - t for n, t in sent.items() if n in arrived]
        pct = percentile_ms
        print(f"  {label} PNG ({len(data) // 1024} KiB):")
        print(f"    shotsieve watch: median {pct(mine, 0.5):6.2f} ms, 99th {pct(mine, 0.99):6.2f} ms"
              f" ({len(mine)} of {count} lines)")
        print(f"    inotifywait:     median {pct(peers, 0.5):6.2f} ms, 99th {pct(peers, 0.99):6.2f} ms")
        if peers and mine:
            print(f"    ratio: median {pct(mine, 0.5) / pct(peers, 0.5):.2f}x, 99th {pct(mine, 0.99) / pct(peers, 0.99):.2f}x")
    # A burst: every file written as fast as Python can, each line timed from the last close.
    burst_dir = tempfile.mkdtemp(prefix="burst-", dir=os.path.join(lib.root, "Screenshots"))
    before = len(ours)
    for i in range(burst):
        with open(os.path.join(burst_dir, f"b-{i}.png"), "wb") as f:
            f.write(samples[0][1])
    last_close = time.perf_counter()
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and len(ours) < before + burst:
        time.sleep(0.01)
    burst_s = (ours[-1][0] if len(ours) >= before + burst else time.perf_counter()) - last_close
    ticks_before = watch_ticks(watcher.pid)
    time.sleep(10)
    ticks_after = watch_ticks(watcher.pid)
    watcher.kill()
    print(f"  {len(ours)} lines in all for {len(samples) * count + burst} screenshots")
    print(f"  burst of {burst}: last line {burst_s * 1000:.0f} ms after the last close")
    hz = os.sysconf("SC_CLK_TCK")
    print(f"  CPU while idle for 10 s: {(ticks_after - ticks_before) * 1000 / hz:.0f} ms")


def bench_watch_against(builds, rounds=10, count=40, size="1280x800"):
    """The watch line's latency of two builds, in alternating rounds: a new
    watch per round and build, `count` screenshots 50 ms apart (half written in
    place, half renamed in), inotifywait on the same folder in the same round.
    The first line after each start is left out: it pays for the start."""
    if not shutil.which("inotifywait") or not shutil.which("convert"):
        print("watch --baseline: needs inotifywait (inotify-tools) and convert (ImageMagick)")
        return
    scratch = tempfile.mkdtemp(prefix="shotsieve-watch-vs-")
    data = screenshot_png(os.path.join(scratch, "shot.png"), size)
    # By position: a tree may be timed against itself, to see the spread.
    homes = [os.path.join(scratch, f"home-{n}") for n in range(len(builds))]
    env = [authorized_home(home) for home in homes]
    ours, peers = [[] for _ in builds], [[] for _ in builds]
    for r in range(rounds):
        for n in range(len(builds)) if r % 2 == 0 else reversed(range(len(builds))):
            shots = os.path.join(homes[n], f"Pictures/Screenshots/round-{r}")
            os.makedirs(shots)
            watcher = subprocess.Popen([os.path.join(builds[n], "src/cli/shotsieve"), "watch"], env=env[n], stdout=subprocess.PIPE)
            watcher.stdout.readline()
            lines = []
            threading.Thread(target=line_clock, args=(watcher.stdout, lines), daemon=True).start()
            peer, theirs = inotifywait_on(shots)
            sent = {}
            for i in range(count + 1):
                name = f"shot-{i}.png"
                sent[name], took = send_screenshot(shots, name, data, i % 2, lines, within=10)
                if i > 0 and took is not None:
                    ours[n].append(took)
                time.sleep(0.05)
            time.sleep(0.2)
            peer.kill()
            watcher.kill()
            watcher.wait()
            arrived = {line: at for at, line in reversed(theirs)}
            peers[n] += [arrived[name] - t for name, t in sent.items() if name in arrived and name != "shot-0.png"]

    pct = percentile_ms
    print(f"watch line, {size} PNG ({len(data) // 1024} KiB), {rounds} alternating rounds of {count}:")
    for build, mine, theirs in zip(builds, ours, peers):
        print(f"  {build}: median {pct(mine, 0.5):.3f} ms, 99th {pct(mine, 0.99):.3f} ms ({len(mine)} lines);"
              f" inotifywait {pct(theirs, 0.5):.3f} ms, {pct(theirs, 0.99):.3f} ms;"
              f" {pct(mine, 0.5) / pct(theirs, 0.5):.2f}x, {pct(mine, 0.99) / pct(theirs, 0.99):.2f}x")
    shutil.rmtree(scratch)


def make_many(make_library, root, files, folders, new=10):
    """`files` small camera JPEGs (Exif dates two years back, file times too)
    in `folders` folders under Archive/, and `new` screenshots of today."""
    sample = os.path.join(root, "sample.jpg")
    os.makedirs(root)
    subprocess.run([make_library, "jpeg", sample, "2024:05:01 10:00:00"], check=True)
    with open(sample, "rb") as f:
        data = f.read()
    os.remove(sample)
    old = time.time() - 2 * 365 * 86400
    per = files // folders
    for folder in range(folders):
        path = os.path.join(root, "Archive", f"{folder // 100:03d}", f"{folder:05d}")
        os.makedirs(path)
        for number in range(per):
            name = os.path.join(path, f"IMG_{number:05d}.jpg")
            with open(name, "wb") as f:
                f.write(data)
            os.utime(name, (old, old))
    shots = os.path.join(root, "Screenshots")
    os.makedirs(shots)
    for number in range(new):
        subprocess.run([make_library, "png", os.path.join(shots, f"shot-{number}.png"), f"tool {number}"], check=True)


def bench_incremental(build, baseline, sizes, times=7):
    """Listings with the index warm on libraries that grow by old files, against
    a stat walk of the same tree; and the first run with no index against the
    baseline build's."""
    printf_of = lambda root: f"find '{root}' -type f -printf '%T@ %s %p\\n' >/dev/null"
    for files, folders in sizes:
        home = tempfile.mkdtemp(prefix="shotsieve-incr-")
        try:
            root = os.path.join(home, "Pictures")
            started = time.perf_counter()
            make_many(os.path.join(build, "bench/make_library"), root, files, folders)
            print(f"{files} files in {folders} folders and 10 new screenshots, made in {time.perf_counter() - started:.0f} s")
            env = authorized_home(home)
            cache = os.path.join(home, ".cache/shotsieve")
            # The baseline keeps its index and records apart: files of another
            # version, each build's replacing the other's, would make both slow.
            baseline_cache = os.path.join(home, ".cache-baseline")
            out = os.path.join(home, "exports")
            program = lambda b: (os.path.join(b, "src/cli/shotsieve") if b == build else
                                 ["env", f"XDG_CACHE_HOME={baseline_cache}", os.path.join(b, "src/cli/shotsieve")])
            printf = printf_of(root)
            run(printf)

            def forget(_=None):
                shutil.rmtree(cache, ignore_errors=True)
                shutil.rmtree(baseline_cache, ignore_errors=True)

            first = {"new": [program(build), "list-today"]}
            if baseline:
                first["baseline"] = [*program(baseline), "list-today"]
            cold = interleaved(first, 3, before=forget, env=env)
            time.sleep(3.5)  # the folders settle: the next listing's record of them holds
            for _ in range(2):
                run([program(build), "list", "7", out], env)
                if baseline:
                    run([*program(baseline), "list-today"], env)
            warm = interleaved({
                "find -printf": printf,
                "list-today": [program(build), "list-today"],
                "list 7": [program(build), "list", "7", out],
                "watch start line": lambda: time_start_line([program(build), "watch"], env),
                **({"baseline list-today": [*program(baseline), "list-today"],
                    "baseline watch start": lambda: time_start_line([*program(baseline), "watch"], env)}
                   if baseline else {}),
            }, times, env=env)
            index = os.path.join(cache, "metadata-index")
            stamps = os.path.join(cache, "folder-stamps")
            base = warm["find -printf"]
            print(f"  index warm, medians of {times} interleaved:")
            for name, took in warm.items():
                print(f"    {name:18} {took * 1000:8.1f} ms  ({took / base:.3f}x find -printf)")
            line = f"  first list-today, no index: {cold['new'] * 1000:.0f} ms"
            if baseline:
                line += f", baseline build {cold['baseline'] * 1000:.0f} ms ({cold['new'] / cold['baseline']:.2f}x)"
            print(line)
            print(f"  on disk per file: index {os.path.getsize(index) / files:.1f} B, "
                  f"folder record {os.path.getsize(stamps) / files:.1f} B")
        finally:
            shutil.rmtree(home, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("what", choices=["fetch", "list", "watch", "memory", "coldstart", "realistic", "confinement",
                                         "callers", "incremental", "formats", "all"])
    parser.add_argument("--library", help="realistic, formats: a Pictures folder made by realistic_library or "
                        "formats_library.py, to use as it is (its parent is the HOME)")
    parser.add_argument("--scale", type=float, default=1.0, help="realistic: the size of the library to make")
    parser.add_argument("--screenshots", type=int, default=None)
    parser.add_argument("--photos", type=int, default=None)
    parser.add_argument("--days", type=int, default=None)
    parser.add_argument("--times", type=int, default=3, help="realistic, formats: runs of each command")
    parser.add_argument("--baseline", help="incremental: another build tree, whose first run is timed beside; watch: another build tree, whose lines are timed in alternating rounds")
    parser.add_argument("--sizes", default="200000x1000,400000x1000,1000000x10000",
                        help="incremental: FILESxFOLDERS, comma-separated")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if args.what == "incremental":
        sizes = [tuple(int(n) for n in size.split("x")) for size in args.sizes.split(",")]
        bench_incremental(build, args.baseline and os.path.abspath(args.baseline), sizes)
        return
    if args.what == "watch" and args.baseline:
        bench_watch_against([os.path.abspath(args.baseline), build])
        return
    if args.what == "realistic":
        library = args.library
        made = None
        if not library:
            made = tempfile.mkdtemp(prefix="shotsieve-real-")
            library = os.path.join(made, "Pictures")
            started = time.perf_counter()
            subprocess.run([os.path.join(build, "bench/realistic_library"), library, str(args.scale)], check=True)
            print(f"generated the library in {time.perf_counter() - started:.0f} s")
        try:
            bench_realistic(build, os.path.abspath(library), args.times)
        finally:
            if made:
                shutil.rmtree(made)
        return
    if args.what == "formats":  # every image format, made by real encoders
        library = args.library
        made = None
        if not library:
            made = tempfile.mkdtemp(prefix="shotsieve-formats-")
            library = os.path.join(made, "Pictures")
            subprocess.run([sys.executable, os.path.join(HERE, "formats_library.py"), library,
                            str(args.screenshots or 3000)], check=True)
        try:
            bench_formats(build, os.path.abspath(library), args.times)
        finally:
            if made:
                shutil.rmtree(made)
        return
    if args.what == "memory":
        bench_memory(build, args.screenshots or 100000)
        return
    if args.what == "coldstart":  # two years of phone and camera photos
        lib = Library(build, args.screenshots or 6000, args.photos or 24000, days=args.days or 730)
        try:
            bench_coldstart(lib)
        finally:
            lib.close()
        return
    lib = Library(build, args.screenshots or 10000, args.photos or 20000, days=args.days or 60)
    try:
        if args.what in ("fetch", "all"):
            bench_fetch(lib)
        if args.what in ("list", "all"):
            bench_list(lib)
        if args.what in ("watch", "all"):
            bench_watch(lib)
        if args.what in ("confinement", "all"):
            bench_confinement(lib)
        if args.what in ("callers", "all"):
            bench_callers(lib)
    finally:
        lib.close()


if __name__ == "__main__":
    sys.exit(main())
