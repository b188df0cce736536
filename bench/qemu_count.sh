#!/usr/bin/env bash
# Counts the instructions that qemu carries out for whole runs of the ARM
# builds (build-arm64 and build-armhf, as their presets make them), with
# each version of the kernels, on the processors named below, on 2 MB
# inputs of the benchmark's kinds:
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

# count QEMU CPU PROGRAM VERSION INPUT: the instructions of one run on that
# processor. The programs are static: qemu needs no sysroot. Older qemu
# single-steps with -singlestep, newer with -one-insn-per-tb.
count() {
  local step=-one-insn-per-tb
  "$1" -h | grep -q -- -one-insn-per-tb || step=-singlestep
  SVFSPLIT_KERNEL=$4 "$1" -cpu "$2" "$step" -d nochain,exec "$3" "$5" 2>&1 >/dev/null | grep -c '^Trace'
}

# Each build on the processors it is for, with each version of the kernels
# that the processor runs: arm64 on a Cortex-A53 (Pi 3), the 32-bit program
# on a Cortex-A7 (Pi 2) and on an ARM1176 (Pi 1 and Zero, no NEON).
printf '%-6s %-10s %-9s %8s %8s %9s\n' build processor version B T start-up
while read -r arch qemu cpu versions; do
  program=$root/build-$arch/svfsplit
  if [ ! -x "$program" ]; then
    echo "$arch: no $program (cmake --build --preset $arch)"
    continue
  fi
  for version in $versions; do
    start=$(count "$qemu" "$cpu" "$program" "$version" empty.svf)
    line=$(printf '%-6s %-10s %-9s' "$arch" "$cpu" "$version")
    for input in B T; do
      total=$(count "$qemu" "$cpu" "$program" "$version" "$input.svf")
      line+=$(awk -v t="$total" -v s="$start" -v n="$(stat -c %s "$input.svf")" 'BEGIN { printf " %8.2f", (t - s) / n }')
    done
    echo "$line $(awk -v s="$start" 'BEGIN { printf "%8.2fM", s / 1e6 }')"
  done
done <<'LIST'
arm64 qemu-aarch64 cortex-a53 portable neon
armhf qemu-arm cortex-a7 portable neon
armhf qemu-arm arm1176 portable
LIST
echo "(instructions per input byte, start-up taken off; start-up: a run on a one-line file)"
