#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 20). Fails on any finding: a crash, a hang over 5 s, more than 1 GiB of
# memory, or a failed check of a target.
# usage: scripts/fuzz.sh [SECONDS] [BUILD_DIR] [grow]
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
  local limit=()
  [ "$time" -gt 0 ] && limit=(-max_total_time="$time")
  "$dir/fuzz/${target}_fuzz" "${limit[@]}" -timeout=5 -rss_limit_mb=1024 -max_len=65536 "${dict[@]}" \
    -artifact_prefix="$dir/findings/$target/" -print_final_stats=1 "$@" >"$dir/findings/$target.log" 2>&1 ||
    { tail -40 "$dir/findings/$target.log"; echo "fuzz: $target found a defect" >&2; return 1; }
  grep -E "stat::number_of_executed_units|cov: " "$dir/findings/$target.log" | tail -2 | sed "s/^/$target: /"
}
# Each target: its seeds and regression inputs once, then SECONDS of fuzzing
# from an empty corpus (or, with "grow", from the corpus kept in BUILD_DIR,
# for long runs). Two targets at a time, one per core.
fuzz_target() {
  local target=$1
  local regressions=("$dir/fuzz/seeds/$target")
  [ -d "fuzz/corpus/$target" ] && regressions+=("fuzz/corpus/$target")
  run "$target" 0 -runs=0 "${regressions[@]}" >/dev/null || return 1
  if [ "${mode:-}" = grow ]; then
    mkdir -p "$dir/corpus/$target"
    run "$target" "$seconds" "$dir/corpus/$target" "${regressions[@]}"
  else
    local empty
    empty=$(mktemp -d)
    run "$target" "$seconds" "$empty" || { rm -rf "$empty"; return 1; }
    rm -rf "$empty"
  fi
}
mode=${3:-}
failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  fuzz_target "${targets[i]}" &
  first=$!
  second=
  if [ $((i + 1)) -lt ${#targets[@]} ]; then
    fuzz_target "${targets[i + 1]}" &
    second=$!
  fi
  wait "$first" || failed=1
  [ -z "$second" ] || wait "$second" || failed=1
done
[ "$failed" -eq 0 ] && echo "fuzz: every target ran ${seconds} s without a finding"
exit "$failed"
