#!/usr/bin/env python3
"""Seeds small faults into a scratch copy of the tree, one at a time, and runs
the plain build's suite against each: a fault the suite lets through is a
test that is missing or one that cannot fail.

    scripts/seeded_faults.py [--scratch DIR] [--only REGEX] [--rev REV] [--check]

--check only tells whether every fault still applies to the source as it is.
The report ends with the faults caught, those that survived and why each may.
"""
import argparse
import os
import pathlib
import re
import subprocess
import sys
import time

# (room, what the fault does, file under src/, text, the text put instead)
FAULTS = [
    ("cli", "a usage error exits with 65", "cli/dispatch.h",
     "kExitUsage = 64;", "kExitUsage = 65;"),
    ("cli", "the two smallest day counts are taken", "cli/dispatch.cpp",
     "*days < std::numeric_limits<std::int64_t>::min() + 2", "*days < std::numeric_limits<std::int64_t>::min()"),
    ("cli", "seccomp: socket left out of the denied calls", "cli/seccomp_filter.cpp",
     "SCMP_SYS(socket), SCMP_SYS(execve),", "SCMP_SYS(execve),"),
    ("cli", "Landlock: the export folder may have folders made in it", "cli/landlock_rules.cpp",
     "LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_REMOVE_FILE |",
     "LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |"),
    ("output", "the solidus not escaped", "output/json.cpp",
     "case '/': out += \"\\\\/\"; break;", "case '/': out += \"/\"; break;"),
    ("output", "a control byte's low digit wrong", "output/json.cpp",
     "out += hex[c & 0xF];", "out += hex[(c >> 1) & 0xF];"),
    ("output", "UTF-8 surrogates accepted", "output/utf8.cpp",
     "if (lead == 0xED) high = 0x9F;", "if (lead == 0xED) high = 0xBF;"),
    ("output", "dates without their Z", "output/iso8601.cpp",
     "%02d:%02d:%02dZ", "%02d:%02d:%02d"),
    ("output", "a failed output exits with 0", "output/standard_output.h",
     "kExitOutputFailed = 74;", "kExitOutputFailed = 0;"),
    ("photos", "a status word swapped", "photos/authorization.cpp",
     'case kDenied: return "denied";', 'case kDenied: return "restricted";'),
    ("photos", "the access file read without trimming", "photos/folder/access_state.cpp",
     "  trim(text);\n  for", "  for"),
    ("photos", "the kept access answer trusted while the file's inode holds", "photos/folder/access_state.cpp",
     "if (seen_ == now) return status_;", "if (seen_ && seen_->inode == now.inode) return status_;"),
    ("metadata", "a watcher's journal kept open after it was removed", "photos/folder/metadata/index_journal.cpp",
     "if (!linked(journal_)) {", "if (!journal_) {"),
    ("metadata", "a watcher's journal opened to wait for a reader at a FIFO", "photos/folder/metadata/index_journal.cpp",
     "O_NOFOLLOW | O_NONBLOCK, 0600));", "O_NOFOLLOW, 0600));"),
    ("scan", "an empty mount point taken for a folder whose files are gone", "photos/folder/scan/library_scan.cpp",
     "    if (listedNow && entries.empty()) {", "    if (false) {"),
    ("scan", "the folder stamps opened to wait for a writer at a FIFO", "photos/folder/scan/folder_memory.cpp",
     "O_CLOEXEC | O_NONBLOCK));  // a FIFO there: no wait", "O_CLOEXEC));"),
    ("photos", "an access file another user wrote, or can write, trusted", "photos/folder/access_state.cpp",
     "  if ((info.st_uid != ::geteuid() && info.st_uid != 0) || (info.st_mode & S_IWOTH)) return kUnreadableAccessState;\n",
     ""),
    ("photos", "a file time past 2262 wrapped round to centuries before", "photos/file_time.h",
     "return std::clamp(seconds, kEarliestFileSeconds, kLatestFileSeconds) * 1", "return seconds * 1"),
    ("photos", "the terminal takes only y", "photos/folder/access_prompt.cpp",
     'if (is("y") || is("yes"))', 'if (is("y"))'),
    ("photos", "the session bus's library looked for under another name", "photos/folder/session_bus_calls.cpp",
     'dlopen("libsystemd.so.0"', 'dlopen("libsystemd.so.9"'),
    ("photos", "a desktop answer taken from any sender", "photos/folder/desktop_prompt.cpp",
     "return question.shown && sender != nullptr && question.owner == sender;", "return question.shown;"),
    ("photos", "opening follows links", "photos/no_link_open.cpp",
     "RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS));", "RESOLVE_BENEATH));"),
    ("photos", "a debris file's live writer taken as ended", "photos/writer_debris.cpp",
     "return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;", "return true;"),
    ("photos", "the user-dirs key misread", "photos/folder/library_location.cpp",
     '"XDG_PICTURES_DIR="', '"XDG_PICTURE_DIR="'),
    ("scan", "a folder stamp trusted at once", "photos/folder/scan/folder_memory.cpp",
     ">= kFolderSettleNanoseconds;", ">= 0;"),
    ("scan", "files outside the window taken as inside", "photos/folder/scan/known_selection.cpp",
     "outlook.latest < *options.earliestCreationDate", "outlook.latest > *options.earliestCreationDate"),
    ("scan", "the fetch sorted oldest first", "photos/folder/scan/fetch_assets.cpp",
     "return a.creationDate > b.creationDate;", "return a.creationDate < b.creationDate;"),
    ("scan", "screenshot folders not told", "photos/folder/scan/library_scan.cpp",
     "inScreenshotFolder || isScreenshotFolderName(name), depth", "inScreenshotFolder, depth"),
    ("scan", "entries let go of while the walk did not hold", "photos/folder/metadata/metadata_index_save.cpp",
     "(!passedOver.walkHeld || passedOver.walkHeld());", "true;"),
    ("metadata", "a journal left by a watcher that ended before its save never folded in",
     "photos/folder/metadata/metadata_index_load.cpp", "if (!journal.empty()) changed_ = true;", "(void)journal.size();"),
    ("metadata", "the wholeness check skipped for PNG", "photos/folder/metadata/image_wholeness.cpp",
     "      return wholePng(in);", "      return true;"),
    ("metadata", "a PNG's chunk walk stepping through what is no chunk", "photos/folder/metadata/image_wholeness.cpp",
     "if (!length || !isPngChunkType(type)) return false;", "if (!length || type.size() < 4) return false;"),
    ("metadata", "a JPEG's end marker not needed", "photos/folder/metadata/image_wholeness.cpp",
     "if (*marker == 0xD9) return true;", "if (*marker == 0xD9 || *marker == 0xDA) return true;"),
    ("metadata", "the index checksum not compared", "photos/folder/metadata/index_record.cpp",
     "if (checksum != checksumOf(in)) return std::nullopt;", "(void)checksum;"),
    ("metadata", "a time zone's sign ignored", "photos/folder/metadata/date_text.cpp",
     "return sign == '-' ? -seconds : seconds;", "return seconds;"),
    ("metadata", "WebP not sniffed", "photos/folder/metadata/file_format.cpp",
     'if (hasAt(head, 0, "RIFF") && hasAt(head, 8, "WEBP")) return FileFormat::webp;', ""),
    ("watch", "a folder the watch covers not checked for a cache tag", "photos/folder/watch/library_folders.cpp",
     "  if (relativeFolder.empty() || !hasCacheTag(folderFd)) return false;", "  return false;"),
    ("scan", "a folder passed over unopened not checked for a cache tag", "photos/folder/scan/library_scan.cpp",
     "    if (hasCacheTagIn(parentFd, name)) return true;", ""),
    ("watch", "a quiet folder stirred by a new entry not watched whole", "photos/folder/watch/change_watcher.cpp",
     "        folders.stirred(path);", "        (void)path;"),
    ("watch", "an inotify mask bit dropped (moves in)", "photos/folder/watch/inotify_source.cpp",
     "IN_MOVED_TO | IN_CREATE | IN_DELETE", "IN_CREATE | IN_DELETE"),
    ("watch", "a writer taken as quiet at once", "photos/folder/watch/writer_tracker.cpp",
     "now - writer.lastChange >= kQuietPeriod", "true"),
    ("watch", "the observer reports every image", "watch/observer.cpp",
     "if ((asset.mediaSubtypes & kScreenshotSubtype) == 0) continue;", ""),
    ("watch", "new screenshots reported newest first", "watch/observer.cpp",
     "return a->creationDate < b->creationDate;", "return a->creationDate > b->creationDate;"),
    ("watch", "an idle watch never looks at its access", "watch/watch_end.cpp",
     "if (const int status = currentStatus(); !authStatusAllowsReading(status)) endWatchNotAuthorized(status);",
     "(void)currentStatus;"),
    ("watch", "the hand-over forgets what it carried", "watch/watch_handover.cpp",
     "return std::binary_search(carried_.begin(), carried_.end(), key) ||", "return"),
    ("listing", "the window's start a day off", "listing/window.cpp",
     "__builtin_sub_overflow(std::int64_t{1}, days, &offset)", "__builtin_sub_overflow(std::int64_t{0}, days, &offset)"),
    ("listing", "the uuid taken from the wrong field", "listing/asset_record.cpp",
     'record.set("uuid", assetUUID(asset))', 'record.set("uuid", asset.localIdentifier)'),
    ("listing", "favourites never said", "listing/asset_record.cpp",
     '.set("is_favorite", asset.isFavorite)', '.set("is_favorite", false)'),
    ("listing", "the cache never pruned", "listing/list_json.cpp",
     "pruneCache(directory, kCacheKeepDays);", "(void)kCacheKeepDays;"),
    ("export", "the prune's age compared the wrong way", "export/prune_cache.cpp",
     "modifiedSeconds(info) < cutoff", "modifiedSeconds(info) > cutoff"),
    ("export", "an export folder inside one every user can write used", "export/export_directory.cpp",
     "if ((info.st_mode & S_IWOTH) && !(info.st_mode & S_ISVTX)) return false;", ""),
    ("export", "lower-case copy names taken as ours", "export/export_names.cpp",
     "(c >= 'A' && c <= 'F')", "(c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')"),
    ("export", "a copy's recorded version not compared", "export/cached_copy.cpp",
     "if (const auto recorded = recordedVersion(path)) return *recorded == resource.contentVersion;", ""),
    ("export", "a copy emptied since it was made served as current", "export/cached_copy.cpp",
     "  if (resource.size && copy.stx_size != *resource.size) return false;\n", ""),
    ("export", "a copy moved into place before it is flushed", "photos/folder/resource_copy.cpp",
     'if (!syncedForRename(to)) return errorText("sync failed");', ""),
    ("watch", "a killed worker followed by a fresh one", "cli/watch_supervisor.cpp",
     "if (!WIFEXITED(status) || WEXITSTATUS(status) != kExitHandOver) return endedLike(status);",
     "if (WIFEXITED(status) && WEXITSTATUS(status) != kExitHandOver) return endedLike(status);"),
    ("cli", "a copy past the file-size limit ends the process", "cli/main.cpp",
     "  std::signal(SIGXFSZ, SIG_IGN);\n", ""),
    ("watch", "the inotify read buffer back on the watcher thread's stack", "photos/folder/watch/inotify_instance.cpp",
     "char* const buffer = buffer_.get();", "alignas(inotify_event) char buffer[kReadBytes];"),
    ("photos", "a choice that could not be recorded left unsaid", "photos/folder/folder_library.cpp",
     "  if (request.notRecorded != 0) {", "  if (false) {"),
    ("cli", "Landlock: a path not opened for want of descriptors taken as absent", "cli/landlock_rules.cpp",
     "return errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == ELOOP;", "return true;"),
    ("watch", "a watcher started without the descriptors that wake it", "photos/folder/watch/wake_descriptor.h",
     "  if (!fd) throw std::system_error(", "  if (false) throw std::system_error("),
    ("capi", "a null export folder listed as empty", "capi/entry_points.cpp",
     'if (exportDir == nullptr) return shotsieve::cstr(R"({"error":"bad-args"})");',
     'if (exportDir == nullptr) exportDir = "";'),
]


def run(command, log):
    with open(log, "a") as out:
        out.write("$ " + " ".join(command) + "\n")
        out.flush()
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode


def first_failure(log):
    lines = pathlib.Path(log).read_text(errors="replace").splitlines()
    for line in lines:
        if "***Failed" in line or "***Timeout" in line or "***Exception" in line or "Not Run" in line:
            return line.split("-", 1)[-1].split("..")[0].strip() or line.strip()
    return "?"


# The end-to-end tests that take a minute: run last, so that a fault the
# others catch does not wait for them.
LONG = "e2e.watch_rounds|e2e.watch_resilience|e2e.watch_setups"


def suite(build, log):
    """The unit tests first, as they are quick; the rest only when they pass.
    The first failing test ends a run: one is enough to call the fault caught."""
    base = ["ctest", "--test-dir", build, "-j2", "--stop-on-failure", "--timeout", "300", "--output-on-failure"]
    for stage in (["-R", "^[A-Z]"], ["-E", f"^[A-Z]|{LONG}"], ["-R", LONG]):
        if run(base + stage, log) != 0:
            return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scratch", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "shotsieve-faults"))
    parser.add_argument("--only", help="only the faults whose description matches this regular expression")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--rev", help="seed the tree of this commit, not the working tree")
    args = parser.parse_args()
    tree = pathlib.Path(__file__).resolve().parent.parent
    faults = [f for f in FAULTS if not args.only or re.search(args.only, f[1])]

    def source_of(path):
        if not args.rev:
            return (tree / path).read_bytes()
        return subprocess.run(["git", "show", f"{args.rev}:{path}"], cwd=tree, capture_output=True, check=True).stdout

    broken = [f for f in faults if source_of("src/" + f[2]).decode().count(f[3]) != 1]
    for room, what, path, _, _ in broken:
        print(f"does not apply once: {room}: {what} ({path})")
    if broken or args.check:
        print(f"{len(faults) - len(broken)} of {len(faults)} faults apply")
        return 1 if broken else 0

    scratch = pathlib.Path(args.scratch)
    source, build = scratch / "tree", scratch / "build"
    scratch.mkdir(parents=True, exist_ok=True)
    listed = ["git", "ls-tree", "-r", "-z", "--name-only", args.rev] if args.rev else ["git", "ls-files", "-z"]
    files = subprocess.run(listed, cwd=tree, capture_output=True, check=True).stdout.split(b"\0")
    names = {name.decode() for name in files if name}
    for stale in [p for p in source.rglob("*") if p.is_file() and str(p.relative_to(source)) not in names]:
        stale.unlink()
    for name in sorted(names):
        target = source / name
        target.parent.mkdir(parents=True, exist_ok=True)
        data = source_of(name)
        if not target.exists() or target.read_bytes() != data:  # unchanged files keep their times: no rebuild
            target.write_bytes(data)
            target.chmod((tree / name).stat().st_mode if (tree / name).exists() else 0o644)
    log = scratch / "baseline.log"
    log.write_text("")
    run(["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
         "-DSHOTSIEVE_SANITIZE=OFF"], log)
    if run(["cmake", "--build", str(build), "-j2"], log) != 0 or not suite(str(build), log):
        print(f"the suite is not green without faults: {log}")
        return 1

    caught, survived, unbuilt = [], [], []
    for number, (room, what, path, old, new) in enumerate(faults, 1):
        file = source / "src" / path
        original = file.read_text()
        file.write_text(original.replace(old, new))
        log = scratch / f"fault-{number:02}.log"
        log.write_text("")
        started = time.monotonic()
        try:
            if run(["cmake", "--build", str(build), "-j2"], log) != 0:
                unbuilt.append((room, what))
                verdict = "does not build"
            elif suite(str(build), log):
                survived.append((room, what))
                verdict = "SURVIVED"
            else:
                caught.append((room, what, first_failure(log)))
                verdict = "caught by " + caught[-1][2]
        finally:
            file.write_text(original)
        print(f"{number:2} {room:8} {what}: {verdict} ({time.monotonic() - started:.0f} s)", flush=True)

    run(["cmake", "--build", str(build), "-j2"], scratch / "restore.log")
    print(f"\ncaught {len(caught)} of {len(faults)} faults; {len(survived)} survived; {len(unbuilt)} did not build")
    for room, what in survived:
        print(f"  survived: {room}: {what}")
    for room, what in unbuilt:
        print(f"  did not build: {room}: {what}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
