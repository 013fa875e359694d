#!/usr/bin/env bash
# Checks that every C++ file of the tree is formatted as .clang-format says;
# fails (exit status 1) naming each place that is not. It changes nothing:
# `clang-format -i FILE...` fixes what it reports.
#   bash scripts/check_format.sh
set -euo pipefail
. "$(dirname "$0")/env.sh"
cd "$zarn_root"

command -v clang-format >/dev/null ||
  zarn_fail "clang-format is not installed (Debian: apt-get install clang-format)"

folders=()
for folder in cpp bindings tests/cpp bench/cpp fuzz; do
  [ -d "$folder" ] && folders+=("$folder")
done
mapfile -t files < <(find "${folders[@]}" -type f \
  \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.cc' \) | sort)

echo "$(clang-format --version): ${#files[@]} files"
clang-format --dry-run --Werror "${files[@]}"
