#!/usr/bin/env bash
# Ends svfsplit.exe's test build under Wine while a program holds its old
# output, KILLS times for each holder ("map": a viewer that maps the file;
# "all": a reader that shares reading, writing and deletion), and prints
# what was left behind, with the machine's load (see bench/end_task.cpp).
# Needs the Windows build (cmake --preset windows && cmake --build --preset
# windows) and its Wine prefix (docs/development.md).
#
#   bench/end_task.sh [KILLS] [BUILD_FOLDER] [LONGEST_MS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kills=${1:-200}
build=$(cd "${2:-$root/build-windows}" && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build-windows/wine} WINEDEBUG=-all
x86_64-w64-mingw32-g++ -std=c++20 -O2 -Wall -Wextra -Werror -municode -static -o "$build/svfsplit_end_task.exe" \
  "$root/bench/end_task.cpp"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for mode in map all; do
  echo "load before: $(uptime)"
  wine "$build/svfsplit_end_task.exe" "Z:$build/svfsplit_seam.exe" "Z:$build/tests/svfsplit_holder.exe" \
    "Z:$work/$mode" "$mode" "$kills" ${3:+"$3"}
  echo "load after: $(uptime)"
done
