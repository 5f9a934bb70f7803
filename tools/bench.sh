#!/usr/bin/env bash
# Benchmarks: in QEMU, boot, ldapp, ldbmp and rdfile beside their fixed waits,
# with read-ahead and without, the idle prompt's host CPU use and
# timer_sleep(100); then the host heap benchmark when it is built. Figures and
# targets are printed; nothing fails on them. Not part of make test.
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
