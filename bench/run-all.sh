#!/usr/bin/env bash
# Runs the end-to-end comparison for every medium at 1, 2 and 4 pushing threads and writes the
# results to bench/results.txt (one line per system and setting), then draws bench/throughput.png.
# Usage: bench/run-all.sh [BUILD_DIR]   (default: build, as the README's commands make it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=bench/results.txt
if [ ! -x "$build/bin/throughput" ]; then
  echo "run-all.sh: $build/bin/throughput is missing: build the project first" >&2
  exit 1
fi
{
  echo "# $(date -u +%Y-%m-%d) $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
  for medium in circular file udp; do
    for threads in 1 2 4; do
      "$build/bin/throughput" --medium "$medium" --threads "$threads" --lines 1000000 --size 120 --runs 5
    done
  done
  "$build/bin/throughput" --queue-memory --lines 1000000 --size 120
  bash bench/loghost-memory.sh "$build"
} | tee "$out"
# The plot needs matplotlib for the system interpreter (Debian: python3-matplotlib).
if /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
  /usr/bin/python3 bench/plot.py "$out" bench/throughput.png
else
  echo "run-all.sh: the plot is skipped: matplotlib is missing (apt-get install python3-matplotlib);" \
    "the results are in $out" >&2
fi
