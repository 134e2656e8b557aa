#!/usr/bin/env bash
# Builds with warnings as errors, builds and checks the Debian packages, and
# runs every test twice: once as built, once under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/package.sh
scripts/check-packages.sh
for variant in plain sanitize; do
  dir=build-ci-$variant
  sanitize=OFF
  [ "$variant" = sanitize ] && sanitize=ON
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOTSIEVE_WERROR=ON -DSHOTSIEVE_SANITIZE="$sanitize"
  cmake --build "$dir" -j2
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$dir" -j2 --output-on-failure --timeout 600
done
