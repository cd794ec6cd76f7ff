#!/usr/bin/env bash
# loghost's peak memory when its input comes much faster than the medium takes it: 1 GiB of
# 60-byte lines into UDP towards a loopback port nobody reads, with the default queue bound
# (64 MiB) or the one given. Prints one result line; the peak is the kernel's VmHWM, read until
# loghost ends.
# Usage: bench/loghost-memory.sh [BUILD_DIR] [QUEUE_LIMIT]   (default: build, 64M)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
limit=${2:-64M}
[ -x "$build/bin/loghost" ] || { echo "loghost-memory.sh: build the project first" >&2; exit 1; }

# 59 bytes and a line end: six fields, long enough to be stored.
line=$(printf '2026-12-07\vT1\vINFO\vbench\vqueued line of sixty bytes, padded\vx')
fifo=$(mktemp -u)
mkfifo "$fifo"
trap 'rm -f "$fifo"' EXIT
# Port 9 (discard) on loopback: nothing listens, the datagrams are thrown away by the kernel.
"$build/bin/loghost" -P TarvoLogger/StorageFormat=udp -P TarvoLogger/Port=9 \
  --queue-limit "$limit" "$fifo" 2>/dev/null >/dev/null &
pid=$!
started=$(date +%s.%N)
yes "$line" | head -c $((1 << 30)) >"$fifo" &
peak=0
while kill -0 "$pid" 2>/dev/null; do
  kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
  [ "${kb:-0}" -gt "$peak" ] && peak=$kb
  sleep 0.2
done
wait "$pid" || true
ended=$(date +%s.%N)
awk -v kb="$peak" -v limit="$limit" -v s="$(echo "$ended - $started" | bc -l 2>/dev/null || echo 0)" \
  'BEGIN { printf "loghost memory: 1 GiB of 60-byte lines into UDP (port nobody reads), --queue-limit %s: peak RSS %.1f MiB, %.0f s\n", limit, kb / 1024, s }'
