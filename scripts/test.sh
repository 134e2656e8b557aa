#!/usr/bin/env bash
# Builds with warnings as errors and runs every test: once as built, once under
# AddressSanitizer and UndefinedBehaviorSanitizer, the tests that run on several
# threads under ThreadSanitizer; every fuzz target for a bounded time; and the
# Debian packages, built and checked. One suite runs at a time, as some tests
# lower the system's inotify limits for a moment; beside each suite the next
# tree builds, or the packages and the fuzz targets are made and run. A second
# run reuses the build trees. Each stage's output is in build-logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
logs=build-logs
mkdir -p "$logs"
started=$SECONDS

configure_and_build() {  # VARIANT: build-ci-VARIANT, with the variant's sanitizers
  local sanitize=OFF tsan=OFF
  [ "$1" = sanitize ] && sanitize=ON
  [ "$1" = tsan ] && tsan=ON
  cmake -S . -B "build-ci-$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOTSIEVE_WERROR=ON \
    -DSHOTSIEVE_SANITIZE="$sanitize" -DSHOTSIEVE_TSAN="$tsan"
  cmake --build "build-ci-$1" -j2
}

suite() {  # VARIANT [CTEST ARGUMENTS...]
  local variant=$1
  shift
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "build-ci-$variant" -j2 --output-on-failure --timeout 600 "$@"
}

# The tests that run on several threads. ThreadSanitizer maps its shadow memory
# at fixed places, which address-space randomisation on recent kernels may take;
# setarch -R turns it off for the run.
tsan_suite() {
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R \
    ctest --test-dir build-ci-tsan -j2 --output-on-failure --timeout 600 \
    -R '^(ReadPool|ChangeWatcher|MovingRoot|FetchReading|ReadDepthLibrary|ListTest|ExportTest|RequestAuth|FolderLibraryTest|Identity|capi\.host|e2e\.watch$|e2e\.watch_resilience)'
}

packages_and_fuzz() {
  scripts/package.sh && scripts/check-packages.sh && scripts/fuzz.sh "${SHOTSIEVE_FUZZ_SECONDS:-20}"
}

# STAGE NAME COMMAND...: in the background, its output in build-logs/NAME.log.
declare -A pids
stage() {
  local name=$1
  shift
  "$@" >"$logs/$name.log" 2>&1 &
  pids[$name]=$!
}
# JOIN NAME: waits for the stage; its log on failure.
join() {
  if wait "${pids[$1]}"; then
    echo "== $1 done at $((SECONDS - started)) s"
  else
    tail -n 100 "$logs/$1.log"
    echo "== $1 failed (all of it in $logs/$1.log)"
    exit 1
  fi
}
step() {  # NAME COMMAND...: in the foreground, shown and kept in build-logs/NAME.log
  local name=$1
  shift
  "$@" 2>&1 | tee "$logs/$name.log"
  echo "== $name done at $((SECONDS - started)) s"
}

step build-plain configure_and_build plain
stage build-sanitize configure_and_build sanitize
step tests-plain suite plain
join build-sanitize
stage build-tsan configure_and_build tsan
step tests-sanitize suite sanitize
join build-tsan
stage packages-and-fuzz packages_and_fuzz
step tests-tsan tsan_suite
join packages-and-fuzz
echo "== every stage passed in $((SECONDS - started)) s"
