#!/usr/bin/env bash
# Installs everything Zarn needs on a fresh Debian machine, then the package
# itself into the current Python environment. Safe to run again.
#   scripts/install.sh          system libraries + the Zarn package
#   scripts/install.sh --test   the same, with the test dependencies
set -euo pipefail
cd "$(dirname "$0")/.."

extra=""
[ "${1:-}" = "--test" ] && extra="[test]"

system_packages=(libzmq3-dev cppzmq-dev libyaml-cpp-dev libgtest-dev pkg-config g++ cmake)
missing=()
for pkg in "${system_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing system packages: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install --quiet --disable-pip-version-check ".${extra}"
