#!/usr/bin/env bash
# Installs everything Zarn needs on a fresh Debian or Ubuntu machine, then the
# package itself into the active virtual environment, or into the project's
# .venv when none is active. Safe to run again.
#   scripts/install.sh           system packages + the Zarn package
#   scripts/install.sh --test    the same, with the test dependencies
#   scripts/install.sh --system  only the system packages
#   scripts/install.sh --fuzz    only the system packages, with clang and its
#                                fuzzing and sanitizer runtimes (scripts/fuzz.sh)
set -euo pipefail
. "$(dirname "$0")/env.sh"
cd "$zarn_root"

mode=package
extra=""
case "${1:-}" in
  "") ;;
  --test) extra="[test]" ;;
  --system) mode=system ;;
  --fuzz)
    mode=system
    export ZARN_WANT_CLANG=1
    ;;
  *)
    echo "usage: bash scripts/install.sh [--test | --system | --fuzz]" >&2
    exit 2
    ;;
esac

install_system_packages() {
  local wanted missing
  mapfile -t wanted < <(zarn_system_packages)
  if ! command -v dpkg-query >/dev/null; then
    echo "zarn: not a Debian system; make sure these (or their equivalents) are installed:" \
      "${wanted[*]}" >&2
    return
  fi
  mapfile -t missing < <(zarn_missing_packages "${wanted[@]}")
  [ ${#missing[@]} -eq 0 ] && return
  echo "installing system packages: ${missing[*]}"
  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null ||
      zarn_fail "these packages are missing and installing them needs root:" \
        "apt-get install ${missing[*]}"
    as_root=(sudo)
  fi
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

# An environment whose interpreter no longer runs (its base Python was removed
# or upgraded) is made anew rather than failing deep inside pip.
prepare_environment() {
  local env_dir
  env_dir=$(zarn_env_dir)
  if [ -n "${VIRTUAL_ENV:-}" ]; then
    "$env_dir/bin/python" -c "" 2>/dev/null ||
      zarn_fail "the active virtual environment $env_dir has no working bin/python"
    return
  fi
  if ! "$env_dir/bin/python" -c "" 2>/dev/null; then
    command -v python3 >/dev/null || zarn_fail "python3 is not installed"
    echo "creating the project's virtual environment in $env_dir"
    python3 -m venv --clear "$env_dir"
  fi
}

install_system_packages
[ "$mode" = system ] && exit 0
prepare_environment

python="$(zarn_env_dir)/bin/python"
"$python" -c 'import sys; sys.exit(sys.version_info < (3, 9))' ||
  zarn_fail "Zarn needs Python 3.9 or newer; $python is $("$python" -V 2>&1)"

# /usr/bin first so that the build finds Debian's Ninja and compiler rather
# than whichever copies an earlier PATH entry holds.
PATH="/usr/bin:$PATH" CMAKE_EXECUTABLE="$zarn_cmake" CMAKE_GENERATOR=Ninja \
  "$python" -m pip install --quiet --disable-pip-version-check ".${extra}"
