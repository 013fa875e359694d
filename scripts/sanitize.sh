#!/usr/bin/env bash
# Builds with a sanitizer in a build folder and a virtual environment of its
# own (never the project's .venv) and runs the tests under it, halting on the
# first report.
#   bash scripts/sanitize.sh address   AddressSanitizer + UndefinedBehaviorSanitizer:
#                                      the core, its C++ tests and the fuzz replays,
#                                      then the extension modules and the Python suite
#                                      (arguments after it go to pytest)
#   bash scripts/sanitize.sh thread    ThreadSanitizer: the core and the C++ tests of
#                                      base, run, client and sim (the scheduler,
#                                      channels, subscription, competition, events,
#                                      locks, the simulator's service)
# Both use the system's C++ compiler (g++ on Debian) and its sanitizer runtimes.
set -euo pipefail
. "$(dirname "$0")/env.sh"
cd "$zarn_root"

mode=${1:-}
[ $# -gt 0 ] && shift
case "$mode" in
  address | thread) ;;
  *)
    echo "usage: bash scripts/sanitize.sh address [PYTEST ARGS...] | thread" >&2
    exit 2
    ;;
esac

build="build/sanitize-$mode"
jobs=2

configure_and_build_core() {
  "$zarn_cmake" -S . -B "$build/cpp" -G Ninja -DCMAKE_MAKE_PROGRAM="$zarn_ninja" \
    -DZARN_SANITIZE="$mode" -DZARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  "$zarn_cmake" --build "$build/cpp" -j "$jobs" --target "$@" >/dev/null
}

if [ "$mode" = address ]; then
  # Every report ends the process that made it: ASan's always do, UBSan's do
  # because everything is built with -fno-sanitize-recover=all.
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

  echo "== ASan+UBSan: the core, its C++ tests and the fuzz replays"
  configure_and_build_core all
  # Leaks are findings here: the C++ tests own everything they allocate.
  ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1" \
    "$zarn_ctest" --test-dir "$build/cpp" --output-on-failure -j "$jobs"

  echo "== ASan+UBSan: the extension modules and the Python suite"
  venv="$build/venv"
  "$venv/bin/python" -c "" 2>/dev/null || python3 -m venv --clear "$venv"
  # The build requirements of pyproject.toml: the build runs without isolation,
  # so that its folder is reused from one run to the next.
  mapfile -t build_tools < <("$venv/bin/python" -c '
import re
text = open("pyproject.toml").read()
print("\n".join(re.findall(r"\"([^\"]+)\"", re.search(r"^requires = \[(.*)\]", text, re.M)[1])))')
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "${build_tools[@]}"
  PATH="/usr/bin:$PATH" CMAKE_EXECUTABLE="$zarn_cmake" CMAKE_GENERATOR=Ninja \
    CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$venv/bin/python" -m pip install --quiet \
    --disable-pip-version-check --no-build-isolation -Cbuild-dir="$build/python" \
    -Ccmake.build-type=RelWithDebInfo -Ccmake.define.ZARN_SANITIZE=address ".[test]"
  # The interpreter is not instrumented, so the ASan runtime must be loaded
  # before it (LD_PRELOAD) for the modules it imports to find it, and the C++
  # library with it, or ASan cannot find the real __cxa_throw to pass a C++
  # exception on to. Leak detection is off: the interpreter never frees much
  # of what it holds at exit (interned strings, modules, type objects), and
  # those leaks are not ours; the C++ tests above check ours.
  # PYTHONMALLOC=malloc sends Python's own allocations through malloc too, so
  # that an extension writing past a Python object is caught rather than
  # landing in a pymalloc arena. Reports go to files, one per process: pytest
  # would swallow a dying process's standard error, and the simulated
  # controller runs in processes of its own.
  reports="$zarn_root/$build/reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  status=0
  LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so.6)" \
    ASAN_OPTIONS="halt_on_error=1:detect_leaks=0:log_path=$reports/asan" \
    UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" PYTHONMALLOC=malloc \
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?
  if compgen -G "$reports/*" >/dev/null; then
    cat "$reports"/*
    zarn_fail "sanitizer reports above (also in $reports)"
  fi
  exit "$status"
else
  echo "== TSan: the core and the C++ tests of base, run, client and sim"
  configure_and_build_core zarn_base_tests zarn_run_tests zarn_client_tests zarn_sim_tests
  # libzmq comes from Debian, not built with TSan: see the suppressions file
  # for what that hides and why nothing of ours is hidden with it.
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$zarn_root/scripts/tsan.supp"
  for concern in base run client sim; do
    echo "-- $concern"
    "$build/cpp/zarn_${concern}_tests" --gtest_brief=1
  done
fi
