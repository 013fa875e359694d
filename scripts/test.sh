#!/usr/bin/env bash
# Installs everything (system packages, the package, test dependencies) into
# the active virtual environment, or the project's .venv when none is active,
# and runs the whole test suite: the C++ core tests, then the Python tests,
# then both sanitizer builds (scripts/sanitize.sh). Arguments go to pytest,
# the first run's.
set -euo pipefail
. "$(dirname "$0")/env.sh"
cd "$zarn_root"

bash scripts/install.sh --test

# The tree's own checks first: a finding fails the run before anything is built.
env_bin="$(zarn_env_dir)/bin"
"$env_bin/ruff" check --quiet .
"$env_bin/ruff" format --check --quiet .
bash scripts/check_format.sh
"$env_bin/python" scripts/import_circles.py
"$env_bin/python" scripts/check_cycles.py

jobs=$(nproc 2>/dev/null || echo 2)
# A build folder of its own: one configured by another CMake or generator
# (a developer's build/cpp-tests) cannot be reused by this one.
build=build/suite-cpp
"$zarn_cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$zarn_ninja" \
  -DZARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$zarn_cmake" --build "$build" -j "$jobs" >/dev/null
"$zarn_ctest" --test-dir "$build" --output-on-failure -j "$jobs"
# No circle of calls between the units of the core and its tests.
"$env_bin/python" scripts/check_cycles.py "$build"

"$(zarn_env_dir)/bin/python" -m pytest "$@"

# The sanitizer builds, each halting on its first report, fit CI's limit with
# the rest (about 14 and 4 minutes from a clean tree on two cores).
bash scripts/sanitize.sh address
bash scripts/sanitize.sh thread
