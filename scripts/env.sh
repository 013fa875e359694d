# Sourced by the other scripts: where the project lies, which Python
# environment its commands install into and run from, and what the build needs
# from the system.

zarn_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The build uses Debian's CMake and Ninja (installed below), whatever else
# happens to be on PATH, so every machine builds with the same tools.
zarn_cmake=/usr/bin/cmake
zarn_ctest=/usr/bin/ctest
zarn_ninja=/usr/bin/ninja

zarn_fail() {
  echo "zarn: $*" >&2
  exit 1
}

# The active virtual environment when there is one; otherwise the project's own
# .venv, so that an interpreter which refuses pip installs is never touched.
zarn_env_dir() {
  if [ -n "${VIRTUAL_ENV:-}" ]; then
    printf '%s\n' "$VIRTUAL_ENV"
  else
    printf '%s\n' "$zarn_root/.venv"
  fi
}

# True when the interpreter is the system's own (Debian's python3 under /usr),
# which keeps its venv module and C headers in separate packages.
zarn_is_system_python() {
  [ "$("$1" -c 'import sys; print(sys.base_prefix)' 2>/dev/null)" = /usr ]
}

# The Debian packages the build and the test suite need. graphviz draws the
# graphs of compiled scripts.
zarn_system_packages() {
  local packages=(libzmq3-dev cppzmq-dev libyaml-cpp-dev libgtest-dev pkg-config g++
    cmake ninja-build graphviz clang-format)
  # clang and its runtimes (libFuzzer among them) only when asked for: the
  # fuzz targets build as plain replay programs with the compiler above.
  [ -n "${ZARN_WANT_CLANG:-}" ] && packages+=(clang libclang-rt-dev llvm)
  local python
  if [ -n "${VIRTUAL_ENV:-}" ]; then
    python="$VIRTUAL_ENV/bin/python"
  else
    python=$(command -v python3 || true)
  fi
  if [ -z "$python" ]; then
    packages+=(python3 python3-venv python3-dev)
  elif zarn_is_system_python "$python"; then
    packages+=(python3-venv python3-dev)
  fi
  printf '%s\n' "${packages[@]}"
}

# A package counts only when unpacked and configured: one removed but for its
# configuration files, or half installed, is missing too.
zarn_missing_packages() {
  local pkg
  for pkg in "$@"; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null)" = installed ] ||
      printf '%s\n' "$pkg"
  done
}
