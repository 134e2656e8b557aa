#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 20), first from an empty corpus as CI asks, then from the seeds and the
# regression inputs in fuzz/corpus/. Fails on any finding: a crash, a hang
# over 5 s, more than 1 GiB of memory, or a failed check of a target.
# usage: scripts/fuzz.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
dir=${2:-build-fuzz}
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOTSIEVE_FUZZ=ON \
  -DSHOTSIEVE_TESTS=OFF >/dev/null
cmake --build "$dir" -j2
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
targets=(image_facts wholeness metadata_index text_parsers day_count json_encode)
run() {  # run TARGET SECONDS CORPUS...
  local target=$1 time=$2
  shift 2
  local dict=()
  case "$target" in image_facts | wholeness) dict=(-dict=fuzz/image.dict) ;; esac
  mkdir -p "$dir/findings/$target"
  "$dir/fuzz/${target}_fuzz" -max_total_time="$time" -timeout=5 -rss_limit_mb=1024 -max_len=65536 "${dict[@]}" \
    -artifact_prefix="$dir/findings/$target/" -print_final_stats=1 "$@" >"$dir/findings/$target.log" 2>&1 ||
    { tail -40 "$dir/findings/$target.log"; echo "fuzz: $target found a defect" >&2; return 1; }
  grep -E "stat::number_of_executed_units|cov: " "$dir/findings/$target.log" | tail -2 | sed "s/^/$target: /"
}
failed=0
for target in "${targets[@]}"; do
  empty=$(mktemp -d)
  run "$target" "$seconds" "$empty" || failed=1
  rm -rf "$empty"
  corpus="$dir/corpus/$target"
  mkdir -p "$corpus"
  regressions=()
  [ -d "fuzz/corpus/$target" ] && regressions=("fuzz/corpus/$target")
  run "$target" "$seconds" "$corpus" "$dir/fuzz/seeds/$target" "${regressions[@]}" || failed=1
done
exit "$failed"
