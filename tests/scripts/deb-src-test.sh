#!/usr/bin/env bash
# scripts/deb-src.sh on copies of apt source layouts in a temporary root, checked with the real
# apt-get pointed at that root: every result must be one that apt reads without an error, with
# one deb-src entry per Debian address and suite, and a refused result must be taken back.
# Usage: deb-src-test.sh SOURCE_DIR     (exit 77: skipped, no apt-get)
set -euo pipefail
src=$1
command -v apt-get >/dev/null || { echo "skipped: no apt-get on this machine"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL [$layout]: $*"; failures=$((failures + 1)); }

KEY=/usr/share/keyrings/debian-archive-keyring.gpg
ARCHIVE="Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: $KEY

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: $KEY"
DISABLED="Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Enabled: no"
VENDOR="Types: deb
URIs: https://vendor.example/apt
Suites: stable
Components: main"
ONE_LINE="# deb-src http://deb.debian.org/debian bookworm main
deb http://deb.debian.org/debian/ bookworm main non-free-firmware
deb http://deb.debian.org/debian-security bookworm-security main  # security
deb [arch=amd64] https://vendor.example/apt stable main"

# new_root NAME: an empty etc/apt under the work folder; prints its path.
new_root() {
  local root=$work/$1
  mkdir -p "$root/etc/apt/sources.list.d"
  echo "$root"
}

# The derived entries, one "uri suite components key" a line ("-" for no key).
derived() {
  awk '/^URIs:/ { u = $2 } /^Suites:/ { s = $2 } /^Components:/ { $1 = ""; c = substr($0, 2) }
       /^Signed-By:/ { k = $2 }
       function out() { if (u != "") print u, s, c, (k == "" ? "-" : k); u = s = c = k = "" }
       /^$/ { out() } END { out() }' \
    "$1/etc/apt/sources.list.d/tarvo-deb-src.sources"
}

# check ROOT EXPECTED: derive; apt must read the result without an error, and the entries must be
# exactly EXPECTED's lines; a second run changes nothing.
check() {
  local root=$1 expected=$2 out
  out=$(bash "$src/scripts/deb-src.sh" --root "$root" 2>"$work/derive.err") \
    || { fail "the derivation failed: $(cat "$work/derive.err")"; return; }
  [ "$out" = changed ] || fail "expected 'changed', got '$out'"
  apt-get -o Dir::Etc="$root/etc/apt" indextargets >/dev/null 2>"$work/apt.err" \
    && ! grep -q '^E:' "$work/apt.err" || fail "apt refuses the result: $(cat "$work/apt.err")"
  [ "$(derived "$root")" = "$expected" ] \
    || fail "entries differ:"$'\n'"$(derived "$root")"$'\n'"expected:"$'\n'"$expected"
  out=$(bash "$src/scripts/deb-src.sh" --root "$root" 2>/dev/null)
  [ -z "$out" ] || fail "a second run changed the file again"
}

D=http://deb.debian.org/debian
layout="deb822 only, with a disabled entry and another vendor"
root=$(new_root deb822)
printf '%s\n\n%s\n' "$ARCHIVE" "$DISABLED" >"$root/etc/apt/sources.list.d/debian.sources"
printf '%s\n' "$VENDOR" >"$root/etc/apt/sources.list.d/vendor.sources"
check "$root" "$D bookworm main $KEY
$D bookworm-updates main $KEY
$D-security bookworm-security main $KEY"

layout="one-line only, with a commented deb-src and another vendor"
root=$(new_root one-line)
printf '%s\n' "$ONE_LINE" >"$root/etc/apt/sources.list"
check "$root" "$D bookworm main non-free-firmware -
$D-security bookworm-security main -"

layout="both forms naming the same archive, one with a key and one without"
root=$(new_root both)
printf '%s\n' "$ONE_LINE" >"$root/etc/apt/sources.list"
printf '%s\n\n%s\n' "$ARCHIVE" "$DISABLED" >"$root/etc/apt/sources.list.d/debian.sources"
# A file as an older derivation left it (two entries for bookworm that apt refuses) is mended.
printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: %s\n\nTypes: deb-src\nURIs: http://deb.debian.org/debian/\nSuites: bookworm\nComponents: main\n' \
  "$KEY" >"$root/etc/apt/sources.list.d/tarvo-deb-src.sources"
check "$root" "$D bookworm main non-free-firmware $KEY
$D bookworm-updates main $KEY
$D-security bookworm-security main $KEY"

layout="an address and suite with a deb-src entry already"
root=$(new_root has-src)
printf '%s\n' "$ARCHIVE" >"$root/etc/apt/sources.list.d/debian.sources"
printf 'deb-src http://deb.debian.org/debian bookworm main\n' >"$root/etc/apt/sources.list"
check "$root" "$D bookworm-updates main $KEY
$D-security bookworm-security main $KEY"

layout="apt refuses the result"
root=$(new_root refused)
printf '%s\n' "$ARCHIVE" >"$root/etc/apt/sources.list.d/debian.sources"
# An apt that refuses any sources holding the derived file, as it does with conflicting keys.
cat >"$work/refusing-apt-get" <<EOF
#!/bin/sh
[ -f "$root/etc/apt/sources.list.d/tarvo-deb-src.sources" ] || exec apt-get "\$@"
echo "E: Conflicting values set for option Signed-By" >&2
exit 100
EOF
chmod +x "$work/refusing-apt-get"
if APT_GET=$work/refusing-apt-get bash "$src/scripts/deb-src.sh" --root "$root" \
     >"$work/out" 2>"$work/derive.err"; then
  fail "a refused result was reported as success"
fi
[ ! -e "$root/etc/apt/sources.list.d/tarvo-deb-src.sources" ] || fail "the refused file stayed"
grep -q "Conflicting values" "$work/derive.err" || fail "apt's words were not shown"
grep -q "^URIs: http://deb.debian.org/debian$" "$work/derive.err" \
  || fail "the entries to add by hand were not shown"
[ ! -s "$work/out" ] || fail "a refused result printed 'changed'"

echo "$((5 - failures)) passed, $failures failed"
[ $failures -eq 0 ]
