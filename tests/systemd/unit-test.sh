#!/usr/bin/env bash
# The udplog-recv service as shipped: its unit and its options file.
#   analyze  systemd-analyze verify finds nothing wrong with the unit (the manual page it names
#            included), and systemd-analyze security rates its exposure 2.5 or lower;
#   run      the unit's ExecStart, expanded as systemd expands it and run with the options file's
#            variables as its environment and under the unit's UMask, receives the lines that the
#            real loghost sends into an output whose path holds a blank, and its ExecReload makes
#            it start a new output file after the old one was renamed away; the metrics file,
#            where the options file suggests it, lies in the unit's RuntimeDirectory (its
#            LogsDirectory is closed to other users) and others may read it. With UDPLOG_OUTPUT
#            empty it forwards only, and with UDPLOG_FORWARD empty too it writes to standard
#            output (the journal), as its first line on standard error says.
# Only the program's path (the build's, not the installed one) and the options that place the
# output and the metrics in a temporary folder and on a free port are changed; everything else
# is as shipped.
# Usage: unit-test.sh analyze|run SOURCE_DIR BUILD_DIR
set -euo pipefail
mode=$1
source_dir=$(cd "$2" && pwd)
build_dir=$(cd "$3" && pwd)
unit=$build_dir/generated/udplog-recv.service
defaults=$source_dir/packaging/systemd/udplog-recv.default
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "unit test: $*" >&2; exit 1; }
# shellcheck source=helpers.sh
source "$(dirname "${BASH_SOURCE[0]}")/helpers.sh"
[ -f "$unit" ] || fail "no unit at $unit"

# The value of KEY= in the unit's [Service] section (the first one).
setting() { sed -n "s/^$1=//p" "$unit" | head -n 1; }

# The unit with ExecStart pointing at the build's program and the options file copied beside it.
local_unit() {
  mkdir -p "$work/unit"
  cp "$defaults" "$work/unit/udplog-recv.default"
  sed -e "/^ExecStart=/s#exec [^ ]*/udplog-recv #exec $build_dir/bin/udplog-recv #" \
      -e "s#^EnvironmentFile=.*#EnvironmentFile=$work/unit/udplog-recv.default#" \
      "$unit" >"$work/unit/udplog-recv.service"
}

if [ "$mode" = analyze ]; then
  if ! command -v systemd-analyze >/dev/null; then
    echo "unit test: skipped: systemd-analyze is not installed (Debian package systemd)" >&2
    exit 77
  fi
  local_unit
  man_check=(--man=yes)
  if [ -f "$build_dir/man/udplog-recv.1" ]; then
    mkdir -p "$work/man/man1"
    cp "$build_dir/man/udplog-recv.1" "$work/man/man1/"
  else
    echo "unit test: the manual pages were not built; Documentation= not checked" >&2
    man_check=(--man=no)
  fi
  MANPATH=$work/man systemd-analyze verify "${man_check[@]}" "$work/unit/udplog-recv.service" \
    >"$work/verify" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify")"
  [ ! -s "$work/verify" ] || fail "systemd-analyze verify complains: $(cat "$work/verify")"
  systemd-analyze security --offline=yes "$work/unit/udplog-recv.service" >"$work/security" 2>&1 \
    || fail "systemd-analyze security failed: $(cat "$work/security")"
  score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$work/security")
  [ -n "$score" ] || fail "no exposure level in: $(cat "$work/security")"
  awk -v s="$score" 'BEGIN { exit !(s <= 2.5) }' \
    || fail "exposure $score is above 2.5: $(grep '✗' "$work/security")"
  echo "unit test: verify clean, exposure $score"
  exit 0
fi
[ "$mode" = run ] || fail "usage: unit-test.sh analyze|run SOURCE_DIR BUILD_DIR"

# EnvironmentFile= as systemd reads it: KEY=VALUE lines, comments and blank lines skipped, blanks
# around the value dropped, one pair of enclosing quotes removed.
declare -A env
read_environment() {
  local line key value
  while IFS= read -r line || [ -n "$line" ]; do
    [[ $line =~ ^[[:space:]]*([#\;].*)?$ ]] && continue
    [[ $line =~ ^[[:space:]]*([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*=(.*)$ ]] \
      || fail "not a KEY=VALUE line in $1: $line"
    key=${BASH_REMATCH[1]}
    value=${BASH_REMATCH[2]}
    value=${value#"${value%%[![:space:]]*}"}
    value=${value%"${value##*[![:space:]]}"}
    if [[ $value =~ ^\"(.*)\"$ || $value =~ ^\'(.*)\'$ ]]; then value=${BASH_REMATCH[1]}; fi
    env[$key]=$value
  done <"$1"
}

# A command line as systemd expands it: words split at blanks, a word in single or double quotes
# taken as it is; then "$NAME" as a word of its own becomes the value split at blanks (no word at
# all when empty), "${NAME}" anywhere becomes the value as it is, and "$$" becomes "$" (for the
# shell that the command may start). Backslashes and prefixes such as "-" are not used by the unit.
argv=()
expand() {
  local line=$1 word quoted rest name value split
  [[ $line != *\\* ]] || fail "backslashes in '$line': not handled here"
  [[ $line != [-@+!:]* ]] || fail "a prefix in '$line': not handled here"
  argv=()
  while [[ $line =~ ^[[:space:]]*([^[:space:]].*)$ ]]; do
    rest=${BASH_REMATCH[1]}
    if [[ $rest =~ ^\'([^\']*)\'(.*)$ || $rest =~ ^\"([^\"]*)\"(.*)$ ]]; then
      word=${BASH_REMATCH[1]} line=${BASH_REMATCH[2]} quoted=1
    else
      [[ $rest =~ ^([^[:space:]\'\"]+)(.*)$ ]] || fail "a quote inside a word in '$rest'"
      word=${BASH_REMATCH[1]} line=${BASH_REMATCH[2]} quoted=0
    fi
    if [ $quoted = 0 ] && [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
      read -ra split <<<"${env[${BASH_REMATCH[1]}]-}"
      argv+=("${split[@]}")
      continue
    fi
    value=
    while [[ $word =~ ^([^\$]*)\$(.*)$ ]]; do
      value+=${BASH_REMATCH[1]}
      word=${BASH_REMATCH[2]}
      if [[ $word == \$* ]]; then
        value+=\$ word=${word#\$}
      elif [[ $word =~ ^\{([A-Za-z_][A-Za-z0-9_]*)\}(.*)$ ]]; then
        name=${BASH_REMATCH[1]} word=${BASH_REMATCH[2]}
        value+=${env[$name]-}
      else
        value+=\$
      fi
    done
    argv+=("$value$word")
  done
}

# Becomes the expanded command as systemd runs it, the options file's variables its whole
# environment (in a subshell of its own, so that its process id is the command's).
run_expanded() {
  local assignments=(PATH=/usr/bin:/bin) key
  for key in "${!env[@]}"; do assignments+=("$key=${env[$key]}"); done
  exec env -i "${assignments[@]}" "${argv[@]}"
}

local_unit
port=$(free_port)
out="$work/out dir/collected.log"
mkdir "$work/out dir"
# The run's own changes: the output in the temporary folder, a free port, and extra options that
# end the run after three lines (also proving that they reach the program as separate words).
# The metrics file where the options file suggests it, which must be the unit's folder under /run
# (node_exporter runs as another user), moved into the temporary folder.
metrics=$(sed -n 's/^#.*--metrics-file \([^ "]*\).*/\1/p' "$defaults" | head -n 1)
runtime=/run/$(setting RuntimeDirectory)/
[[ -n $metrics && $metrics == "$runtime"* ]] \
  || fail "the suggested metrics file '$metrics' is not in the unit's $runtime"
metrics=$work/$metrics
mkdir -p "$(dirname "$metrics")"
sed -i -e "s#^UDPLOG_OUTPUT=.*#UDPLOG_OUTPUT=$out#" -e "s#^UDPLOG_PORT=.*#UDPLOG_PORT=$port#" \
    -e "s#^UDPLOG_OPTIONS=.*#UDPLOG_OPTIONS=\"--count 3  --idle 20 --metrics-file $metrics\"#" \
    "$work/unit/udplog-recv.default"
read_environment "$work/unit/udplog-recv.default"
unit_file=$work/unit/udplog-recv.service
[ "$(sed -n 's/^EnvironmentFile=//p' "$unit_file")" = "$work/unit/udplog-recv.default" ] \
  || fail "the unit reads its options from somewhere else"
expand "$(sed -n 's/^ExecStart=//p' "$unit_file")"
echo "unit test: running ${argv[*]@Q}" >&2
(umask "$(setting UMask)" && run_expanded 2>"$work/recv.err") &
pid=$!
listening() { grep -qi ":$(printf '%04X' "$port") " /proc/net/udp /proc/net/udp6; }
wait_for 10 listening || fail "udplog-recv does not listen on $port: $(cat "$work/recv.err")"

send() {  # send TEXT: one line through the real loghost, as a logger on another host would
  printf '2026-12-07 10:00:00.000\vT1\vINFO\vunit_test\v%s\v-\n' "$1" \
    | "$build_dir/bin/loghost" -P TarvoLogger/StorageFormat=udp -P "TarvoLogger/Port=$port" \
    >/dev/null || fail "loghost failed to send $1"
}
lines() { [ -f "$1" ] && [ "$(grep -c "$2" "$1")" -ge "$3" ]; }
send "first line"
send "second line"
wait_for 10 lines "$out" "line" 2 || fail "two lines not received: $(cat "$work/recv.err")"

# As logrotate would: rename the output away, then the unit's reload command.
mv "$out" "$out.1"
env[MAINPID]=$pid
expand "$(sed -n 's/^ExecReload=//p' "$unit_file")"
"${argv[@]}" || fail "the reload command ${argv[*]} failed"
wait_for 10 test -f "$out" || fail "no new output after the reload: $(cat "$work/recv.err")"
send "third line"
wait "$pid" || fail "udplog-recv ended with status $?: $(cat "$work/recv.err")"
pid=
[ "$(grep -c . "$out.1")" = 2 ] && grep -q "first line" "$out.1" && grep -q "second line" "$out.1" \
  || fail "the renamed output holds: $(cat "$out.1")"
[ "$(grep -c . "$out")" = 1 ] && grep -q "third line" "$out" \
  || fail "the new output holds: $(cat "$out")"
[ -n "$(find "$metrics" -perm -o=r)" ] || fail "others may not read the metrics: $(ls -l "$metrics")"
echo "unit test: ExecStart received the lines, ExecReload reopened the output"

# Forward only (UDPLOG_OUTPUT empty), and neither an output nor a forward target (the journal):
# the first line on standard error says where the lines go.
for case in forward neither; do
  cp "$defaults" "$work/unit/udplog-recv.default"
  port=$(free_port)
  forward=
  [ $case = neither ] || forward=tcp://127.0.0.1:$(free_port)
  sed -i -e "s#^UDPLOG_OUTPUT=.*#UDPLOG_OUTPUT=#" -e "s#^UDPLOG_PORT=.*#UDPLOG_PORT=$port#" \
      -e "s#^UDPLOG_FORWARD=.*#UDPLOG_FORWARD=$forward#" "$work/unit/udplog-recv.default"
  unset env
  declare -A env
  read_environment "$work/unit/udplog-recv.default"
  expand "$(sed -n 's/^ExecStart=//p' "$unit_file")"
  run_expanded >/dev/null 2>"$work/$case.err" &
  pid=$!
  expected="; lines to ${forward:-standard output}; "
  wait_for 10 grep -qF -- "$expected" "$work/$case.err" \
    || fail "$case: no '$expected' in: $(cat "$work/$case.err")"
  kill -TERM "$pid"
  wait "$pid" || fail "$case: udplog-recv ended with status $?: $(cat "$work/$case.err")"
  pid=
done
echo "unit test: an empty UDPLOG_OUTPUT forwards only; with no forward target either, the journal"
