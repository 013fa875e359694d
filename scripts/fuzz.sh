#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang and libFuzzer (ASan and UBSan
# on, halting on the first report) in build/fuzz, and runs them.
#   bash scripts/fuzz.sh build               build every target
#   bash scripts/fuzz.sh run TARGET [SECS]   fuzz TARGET (default 600 s) from its
#                                            corpus; findings land in
#                                            build/fuzz/findings/TARGET/
#   bash scripts/fuzz.sh merge TARGET        fold what the runs found into
#                                            fuzz/corpus/TARGET, minimised
# TARGET is parser, records, config or controller. clang comes from
# `bash scripts/install.sh --fuzz`. A finding's input goes, once fixed, into
# fuzz/regressions/TARGET/, which the replay test feeds on every run.
set -euo pipefail
. "$(dirname "$0")/env.sh"
cd "$zarn_root"

build=build/fuzz
targets=(parser records config controller)

usage() {
  echo "usage: bash scripts/fuzz.sh build | run TARGET [SECONDS] | merge TARGET" >&2
  exit 2
}

known_target() {
  local t
  for t in "${targets[@]}"; do [ "$t" = "$1" ] && return 0; done
  echo "zarn: no fuzz target '$1' (${targets[*]})" >&2
  exit 2
}

# Halt on the first report, with a stack; a leak is a finding too.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"

case "${1:-}" in
  build)
    command -v clang++ >/dev/null ||
      zarn_fail "clang++ is not installed: bash scripts/install.sh --fuzz"
    CXX=clang++ "$zarn_cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$zarn_ninja" \
      -DZARN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    "$zarn_cmake" --build "$build" -j 2 --target "${targets[@]/#/zarn_fuzz_}"
    ;;
  run)
    [ $# -ge 2 ] || usage
    known_target "$2"
    seconds=${3:-600}
    # New inputs go to a work folder; `merge` keeps those that add coverage.
    work="$build/work/$2"
    findings="$build/findings/$2"
    mkdir -p "$work" "$findings"
    seeds=("fuzz/corpus/$2")
    for kept in regressions seeds; do
      [ -d "fuzz/$kept/$2" ] && seeds+=("fuzz/$kept/$2")
    done
    "$build/fuzz/zarn_fuzz_$2" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$work" "${seeds[@]}"
    ;;
  merge)
    [ $# -ge 2 ] || usage
    known_target "$2"
    merged=$(mktemp -d)
    trap 'rm -rf "$merged"' EXIT
    mkdir -p "$build/work/$2"
    "$build/fuzz/zarn_fuzz_$2" -merge=1 "$merged" "fuzz/corpus/$2" "$build/work/$2"
    rm -rf "fuzz/corpus/$2"
    mkdir -p "fuzz/corpus/$2"
    cp "$merged"/* "fuzz/corpus/$2/"
    echo "fuzz/corpus/$2: $(ls "fuzz/corpus/$2" | wc -l) inputs, $(du -sh --apparent-size "fuzz/corpus/$2" | cut -f1)"
    ;;
  *) usage ;;
esac
