#!/usr/bin/env bash
# Installs everything (system libraries, the package, test dependencies) and
# runs the whole test suite: the C++ core tests, then the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install.sh --test

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/cpp-tests -DZARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp-tests -j "$jobs" >/dev/null
ctest --test-dir build/cpp-tests --output-on-failure -j "$jobs"


python3 -m pytest "$@"
