#!/usr/bin/env bash
# Runs the end-to-end comparison for every medium at 1, 2 and 4 pushing threads, the pipe's
# memory per queued line and loghost's memory bound, and writes them to a file of its own for
# this run, bench/runs/YYYY-MM-DD-HHMMSS.txt (one line per system and setting), with the plot
# beside it (the same name, .png). The committed figures, bench/results.txt and
# bench/throughput.png, are never written: copy a run over them by hand to publish it.
# Usage: bench/run-all.sh [BUILD_DIR]   (default: build, as the README's commands make it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -x "$build/bin/throughput" ]; then
  echo "run-all.sh: $build/bin/throughput is missing: build the project first" >&2
  exit 1
fi
mkdir -p bench/runs
run=bench/runs/$(date -u +%Y-%m-%d-%H%M%S)
out=$run.txt
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
  /usr/bin/python3 bench/plot.py "$out" "$run.png"
  echo "run-all.sh: results in $out, plot in $run.png" >&2
else
  echo "run-all.sh: the plot is skipped: matplotlib is missing (apt-get install python3-matplotlib);" \
    "the results are in $out" >&2
fi
