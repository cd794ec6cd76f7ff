#!/usr/bin/env bash
# Runs the 32-bit Windows build's programs under Wine on Debian, with a Wine prefix that lives in
# the build tree (so nothing in $HOME is touched and deleting the build tree cleans up).
#
#   bash scripts/wine-env.sh install                  # wine + wine32 (adds the i386 architecture)
#   bash scripts/wine-env.sh prefix BUILD_DIR         # make BUILD_DIR/wine-prefix (once)
#   bash scripts/wine-env.sh run BUILD_DIR PROG ARGS  # run PROG under that prefix
#   eval "$(bash scripts/wine-env.sh env BUILD_DIR)"  # the same variables in this shell
#   bash scripts/wine-env.sh start BUILD_DIR          # keep Wine's server up for a test run
#   bash scripts/wine-env.sh stop BUILD_DIR           # and end it afterwards
#
# Wine starts its server and its service processes with the first program of a prefix and ends
# them a few seconds after the last one exits; a test suite of many short processes pays that
# start-up (about a second) again and again unless the server is kept up between "start" and
# "stop".
#
# The prefix is a 32-bit one (WINEARCH=win32): it starts faster and holds only what the 32-bit
# programs need. WINEDEBUG=-all silences Wine's own diagnostics so that a program's standard
# error is its own. WINEPATH lets programs find the mingw runtime DLLs (libstdc++, libgcc,
# winpthreads), the Boost DLLs and the build's bin/ folder without copying them.
# BOOST_ROOT, when set, is the prefix made by scripts/build-boost-mingw.sh.
set -euo pipefail

readonly TRIPLE=i686-w64-mingw32

log() { printf 'wine-env: %s\n' "$*" >&2; }
die() { log "$*"; exit 1; }
usage() { sed -n '5,10p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_wine() {
  local changed=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "adding the i386 architecture"
    as_root dpkg --add-architecture i386
    changed=1
  fi
  local missing=() pkg
  for pkg in wine wine32:i386; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ] || [ $changed -eq 1 ]; then
    as_root apt-get update -q >/dev/null
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      "${missing[@]}" >/dev/null
  fi
}

# Folders holding the mingw runtime DLLs, as the compiler itself reports them.
runtime_dirs() {
  local cxx=${TRIPLE}-g++-posix f
  for f in libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll; do
    f=$("$cxx" -print-file-name="$f" 2>/dev/null) || continue
    [ -f "$f" ] && dirname "$(readlink -f "$f")"
  done | awk '!seen[$0]++'
}

# Prints the environment for BUILD_DIR as shell assignments.
print_env() {
  local build=$1 winepath="" d
  build=$(cd "$build" && pwd)
  for d in "$build/bin" ${BOOST_ROOT:+"$BOOST_ROOT/bin" "$BOOST_ROOT/lib"} $(runtime_dirs); do
    [ -d "$d" ] && winepath+="${winepath:+;}Z:${d}"
  done
  printf 'export WINEPREFIX=%q\n' "$build/wine-prefix"
  printf 'export WINEARCH=win32\n'
  printf 'export WINEDEBUG=-all\n'
  printf 'export WINEDLLOVERRIDES=%q\n' "mscoree,mshtml="
  printf 'export WINEPATH=%q\n' "$winepath"
}

# Creates the prefix once. Concurrent first runs (CTest with -j) wait on one lock.
make_prefix() {
  local build=$1
  mkdir -p "$build"
  eval "$(print_env "$build")"
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  command -v wine >/dev/null || die "wine is not installed: bash $0 install"
  exec 9>"$build/.wine-prefix.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "creating the Wine prefix $WINEPREFIX"
    # mscoree/mshtml are disabled above, so no dialog asks to install Mono or Gecko.
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait
    [ -f "$WINEPREFIX/system.reg" ] || die "wineboot did not create $WINEPREFIX"
  fi
  flock -u 9
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
  install) install_wine ;;
  env) [ $# -eq 1 ] || usage; print_env "$1" ;;
  prefix) [ $# -eq 1 ] || usage; make_prefix "$1" ;;
  start)
    [ $# -eq 1 ] || usage
    make_prefix "$1"
    wineserver --persistent
    # A trivial program brings up the service processes once, so the first test does not.
    wine cmd /c exit 0 >/dev/null 2>&1 || true
    ;;
  stop)
    [ $# -eq 1 ] || usage
    eval "$(print_env "$1")"
    wineserver --kill 2>/dev/null || true
    ;;
  run)
    [ $# -ge 2 ] || usage
    build=$1
    shift
    make_prefix "$build"
    exec wine "$@"
    ;;
  *) usage ;;
esac
