#!/usr/bin/env bash
# Benchmarks: boot-to-welcome time and timer_sleep(100) in QEMU, and the host heap
# benchmark when it is built. Figures are printed, never judged; not part of make test.
# usage: tools/bench.sh [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== QEMU"
/usr/bin/python3 tools/bench.py "$@"

heap=build/host/heap_bench
echo "== host heap benchmark"
if [[ -x $heap ]]; then
  ASAN_OPTIONS=detect_leaks=0 tools/run32.sh "$heap"
else
  echo "$heap is not built: skipped"
fi
