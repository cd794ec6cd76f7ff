#!/usr/bin/env bash
# Runs the end-to-end comparison for every medium at 1, 2 and 4 pushing threads, the pipe's
# memory per queued line and loghost's memory bound, and the collector's runs: udplog-recv beside
# rsyslogd (collector_bench) and against 1 to 1 000 senders (scale_bench). Writes them to a file of
# its own for this run, bench/runs/YYYY-MM-DD-HHMMSS.txt (one line per system and setting), with
# the plots beside it (the same name, .png, and -scale.png for the collector's). The committed
# figures, bench/results.txt, bench/throughput.png, bench/collector.txt and bench/scale.png, are
# never written: copy a run over them by hand to publish it.
# Usage: bench/run-all.sh [BUILD_DIR] [all|collector]
#   (default: build, as the README's commands make it, and all; "collector" runs only the
#   collector's part). RECV_BASELINE=PATH adds another build of udplog-recv to collector_bench and
#   scale_bench.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
parts=${2:-all}
if [ "$parts" = all ] && [ ! -x "$build/bin/throughput" ]; then
  echo "run-all.sh: $build/bin/throughput is missing: build the project first" >&2
  exit 1
fi
# The collector's benchmarks run udplog-recv through the tests' support code: built with the tests.
collector=yes
if [ ! -x "$build/bin/collector_bench" ] || [ ! -x "$build/bin/scale_bench" ]; then
  echo "run-all.sh: collector_bench or scale_bench is missing (built with the tests): the" \
    "collector's runs are skipped" >&2
  collector=no
fi
mkdir -p bench/runs
run=bench/runs/$(date -u +%Y-%m-%d-%H%M%S)
out=$run.txt
{
  echo "# $(date -u +%Y-%m-%d) $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
  if [ "$parts" = all ]; then
    for medium in circular file udp; do
      for threads in 1 2 4; do
        "$build/bin/throughput" --medium "$medium" --threads "$threads" --lines 1000000 --size 120 --runs 5
      done
    done
    "$build/bin/throughput" --queue-memory --lines 1000000 --size 120
    bash bench/loghost-memory.sh "$build"
  fi
  if [ "$collector" = yes ]; then
    "$build/bin/collector_bench" --rate 150000 --lines 750000 --full-lines 1000000 --runs 3 \
      --baseline "${RECV_BASELINE:-}"
    "$build/bin/scale_bench" --runs 3 --baseline "${RECV_BASELINE:-}"
  fi
} | tee "$out"
# The plot needs matplotlib for the system interpreter (Debian: python3-matplotlib).
if /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
  if [ "$parts" = all ]; then /usr/bin/python3 bench/plot.py "$out" "$run.png"; fi
  if [ "$collector" = yes ]; then /usr/bin/python3 bench/plot_scale.py "$out" "$run-scale.png"; fi
  echo "run-all.sh: results in $out, plots in $run*.png" >&2
else
  echo "run-all.sh: the plot is skipped: matplotlib is missing (apt-get install python3-matplotlib);" \
    "the results are in $out" >&2
fi
