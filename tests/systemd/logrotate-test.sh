#!/usr/bin/env bash
# The collector's logrotate file as shipped: logrotate reads it without a complaint (-d), and a
# copy of its stanza, for an output in a temporary folder and with a postrotate that signals the
# test's own collector instead of reloading the service, rotates that output twice while a sender
# keeps sending: every line is in exactly one of the files (the oldest compressed), in order.
# Usage: logrotate-test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
shipped=$source_dir/packaging/logrotate/udplog-recv
PATH=$PATH:/usr/sbin:/sbin
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "logrotate test: $*" >&2; exit 1; }
# shellcheck source=helpers.sh
source "$(dirname "${BASH_SOURCE[0]}")/helpers.sh"
if ! command -v logrotate >/dev/null; then
  echo "logrotate test: skipped: logrotate is not installed (Debian package logrotate)" >&2
  exit 77
fi

# logrotate ignores a file that group or others may write. The package installs it 0644; a
# checkout made under umask 002 holds it 0664, so the test reads a copy with the installed mode,
# and writes its own files under the same umask.
umask 022
install -m 644 "$shipped" "$work/udplog-recv"
logrotate -d -s "$work/state.debug" "$work/udplog-recv" >"$work/debug" 2>&1 \
  || fail "logrotate -d $shipped failed: $(cat "$work/debug")"
! grep -qi "error" "$work/debug" || fail "logrotate -d $shipped complains: $(cat "$work/debug")"
grep -q "^Handling 1 log" "$work/debug" || fail "logrotate -d $shipped handles no log: $(cat "$work/debug")"

lines_in() { [ -f "$1" ] && [ "$(grep -c . "$1")" -ge "$2" ]; }

log=$work/log/collected.log
mkdir "$work/log"
port=$(free_port)
"$build_dir/bin/udplog-recv" --port "$port" --output "$log" 2>"$work/recv.err" &
pid=$!
wait_for 10 grep -qi ":$(printf '%04X' "$port") " /proc/net/udp \
  || fail "udplog-recv does not listen on $port: $(cat "$work/recv.err")"
grep -q "^/var/log/udplog/collected.log {" "$shipped" || fail "$shipped rotates something else"
sed -e "s#^/var/log/udplog/collected.log {#$log {#" \
    -e "s#^\( *\)systemctl reload udplog-recv.*#\1kill -HUP $pid#" "$shipped" >"$work/rotate.conf"
grep -q "kill -HUP $pid" "$work/rotate.conf" || fail "no postrotate command to replace"

# One sender (one source port), 3000 numbered lines, paced so that no datagram is dropped.
total=3000
(
  exec 3>"/dev/udp/127.0.0.1/$port"
  for n in $(seq "$total"); do
    printf '%d:1/1|line %d' "$n" "$n" >&3
    [ $((n % 50)) != 0 ] || sleep 0.02
  done
) &
sender=$!
rotate() {
  logrotate -f -s "$work/state" "$work/rotate.conf" >"$work/rotate.out" 2>&1 \
    || fail "logrotate failed: $(cat "$work/rotate.out")"
}
wait_for 20 lines_in "$log" 500 || fail "no 500 lines before the first rotation"
rotate
# The collector makes the new file when the signal came (nocreate); notifempty wants lines in it.
wait_for 20 lines_in "$log" 100 || fail "no new output after the first rotation"
rotate
wait "$sender"
all() { cat <(zcat "$log.2.gz") "$log.1" "$log" 2>/dev/null; }
wait_for 20 eval '[ "$(all | grep -c .)" -ge "$total" ]' \
  || fail "$(all | grep -c .) of $total lines arrived: $(cat "$work/recv.err")"
kill -TERM "$pid"
wait "$pid" || fail "udplog-recv ended with status $?: $(cat "$work/recv.err")"
pid=
[ -f "$log.2.gz" ] && [ -f "$log.1" ] || fail "not rotated twice: $(ls "$work/log")"
[ "$(all)" = "$(seq -f 'line %g' "$total")" ] \
  || fail "lines lost, repeated or out of order: $(diff <(all) <(seq -f 'line %g' "$total") | head)"
grep -q "udplog-recv: $total lines, 0 lost" "$work/recv.err" || fail "$(cat "$work/recv.err")"
echo "logrotate test: two rotations under a running collector, $total lines each in one file"
