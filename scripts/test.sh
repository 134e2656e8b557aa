#!/usr/bin/env bash
# Builds with warnings as errors, builds and checks the Debian packages, runs
# every test twice (once as built, once under AddressSanitizer and
# UndefinedBehaviorSanitizer), the tests that run on several threads under
# ThreadSanitizer, and every fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/package.sh
scripts/check-packages.sh
scripts/fuzz.sh "${SHOTSIEVE_FUZZ_SECONDS:-20}"

# ThreadSanitizer maps its shadow memory at fixed places, which address-space
# randomisation on recent kernels may take; setarch -R turns it off for the run.
cmake -S . -B build-ci-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOTSIEVE_WERROR=ON -DSHOTSIEVE_TSAN=ON
cmake --build build-ci-tsan -j2
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R \
  ctest --test-dir build-ci-tsan -j2 --output-on-failure --timeout 600 \
  -R '^(ReadPool|ChangeWatcher|MovingRoot|FetchReading|ReadDepthLibrary|ListTest|ExportTest|RequestAuth|FolderLibraryTest|Identity|capi\.host|e2e\.watch$|e2e\.watch_resilience)'

for variant in sanitize plain; do
  dir=build-ci-$variant
  sanitize=OFF
  [ "$variant" = sanitize ] && sanitize=ON
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOTSIEVE_WERROR=ON -DSHOTSIEVE_SANITIZE="$sanitize"
  cmake --build "$dir" -j2
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$dir" -j2 --output-on-failure --timeout 600
done
