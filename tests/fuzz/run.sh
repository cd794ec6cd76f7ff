#!/usr/bin/env bash
# Long fuzzing runs: builds the fuzzers with clang in build-fuzz and runs one (or all) of them for
# the given seconds, keeping what they find in fuzz-out/<target>.
# Usage: tests/fuzz/run.sh [SECONDS] [TARGET]     e.g. tests/fuzz/run.sh 3600 DatagramFuzz
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
targets=${2:-"LogRecordFuzz ConfigNumberFuzz IniFuzz DatagramFuzz SenderStreamsFuzz RelpFramingFuzz"}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DLOGGER_FUZZ=ON >/dev/null
cmake --build build-fuzz -j2
for t in $targets; do
  mkdir -p "fuzz-out/$t"
  "build-fuzz/bin/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="fuzz-out/$t/" "fuzz-out/$t" "tests/fuzz/corpus/$t"
done
