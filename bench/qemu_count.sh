#!/usr/bin/env bash
# Counts the instructions that qemu carries out for whole runs of the ARM
# builds (build-arm64 and build-armhf, as their presets make them), with
# each version of the kernels, on 2 MB inputs of the benchmark's kinds:
#   B  2,080-bit SDRs, LF, tab-indented continuation lines of 64 digits
#   T  input B with nothing to split (every SDR at a line start made SDX)
# and prints them per input byte, start-up taken off (a run on a one-line
# file). Start-up, memcpy and both threads count, as on a board.
#
#   bench/qemu_count.sh [WORK_FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"

# Written as bench.cpp writes B (its own random digits), cut at 2 MB.
awk 'BEGIN {
  srand(2026)
  printf "! generated benchmark input\nTRST OFF;\nENDDR IDLE;\n"
  size = 0
  while (size < 2 * 1024 * 1024) {
    s = "SIR 10 TDI (3A1);\nSDR 32 TDI (00000000) TDO (12345678) MASK (FFFFFFFF);\nSDR 2080 TDI ("
    for (field = 0; field < 3; ++field) {
      for (i = 0; i < 520; ++i) {
        if (i > 0 && i % 64 == 0)
          s = s "\n\t"
        s = s substr("0123456789ABCDEF", int(rand() * 16) + 1, 1)
      }
      s = s (field == 0 ? ")\n\tTDO (" : field == 1 ? ")\n\tMASK (" : ");\nRUNTEST 100 TCK;\n")
    }
    printf "%s", s
    size += length(s)
  }
}' > B.svf
sed 's/^SDR/SDX/' B.svf > T.svf
printf 'STATE RESET;\n' > empty.svf

# count QEMU SYSROOT PROGRAM VERSION INPUT: the instructions of one run.
# Older qemu single-steps with -singlestep, newer with -one-insn-per-tb.
count() {
  local step=-one-insn-per-tb
  "$1" -h | grep -q -- -one-insn-per-tb || step=-singlestep
  SVFSPLIT_KERNEL=$4 "$1" -L "$2" "$step" -d nochain,exec "$3" "$5" 2>&1 >/dev/null | grep -c '^Trace'
}

printf '%-6s %-9s %8s %8s %9s\n' build version B T start-up
for arch in arm64 armhf; do
  qemu=(qemu-aarch64 /usr/aarch64-linux-gnu)
  [ "$arch" = armhf ] && qemu=(qemu-arm /usr/arm-linux-gnueabihf)
  program=$root/build-$arch/svfsplit
  if [ ! -x "$program" ]; then
    echo "$arch: no $program (cmake --build --preset $arch)"
    continue
  fi
  for version in portable neon; do
    start=$(count "${qemu[@]}" "$program" "$version" empty.svf)
    line=$(printf '%-6s %-9s' "$arch" "$version")
    for input in B T; do
      total=$(count "${qemu[@]}" "$program" "$version" "$input.svf")
      line+=$(awk -v t="$total" -v s="$start" -v n="$(stat -c %s "$input.svf")" 'BEGIN { printf " %8.2f", (t - s) / n }')
    done
    echo "$line $(awk -v s="$start" 'BEGIN { printf "%8.2fM", s / 1e6 }')"
  done
done
echo "(instructions per input byte, start-up taken off; start-up: a run on a one-line file)"
