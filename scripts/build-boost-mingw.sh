#!/usr/bin/env bash
# Builds the compiled parts of Boost 1.74 that the logger needs (Thread, System, Filesystem, and
# Atomic, Chrono and DateTime that Thread pulls in) for 32-bit Windows with Debian's mingw-w64
# (i686, posix thread variant), from Debian's own boost1.74 source package.
#
#   bash scripts/build-boost-mingw.sh            # build if needed, print the prefix
#   bash scripts/build-boost-mingw.sh --prefix   # print the prefix only (exit 1 if not built)
#   bash scripts/build-boost-mingw.sh --deb-src  # add deb-src entries if needed, no apt update
#
# The result is a prefix outside the source tree, by default
#   ${XDG_CACHE_HOME:-$HOME/.cache}/tarvo-logger/boost-mingw-i686-1.74
# holding include/boost (the headers of the same source package, or a link to Debian's
# /usr/include/boost when libboost1.74-dev of that version is installed), lib/ with both static
# (libboost_*.a) and shared (libboost_*.dll.a + bin/libboost_*.dll) libraries, and
# lib/cmake/ with Boost's CMake package files. Pass it to CMake as BOOST_ROOT.
# TARVO_BOOST_MINGW_PREFIX overrides the prefix.
#
# A second run with a complete prefix does nothing: the prefix holds a stamp naming the source
# version, the compiler and the library list, written last; any difference rebuilds from scratch.
#
# Sources come only from the machine's configured Debian archive: when apt knows no source
# package yet, scripts/deb-src.sh derives deb-src entries from the active Debian "deb" entries
# into /etc/apt/sources.list.d/tarvo-deb-src.sources (checked with apt, removed if refused).
# Needs root or sudo for that and for installing what is missing.
set -euo pipefail

readonly BOOST_PACKAGE=boost1.74
readonly TRIPLE=i686-w64-mingw32
readonly CXX_TARGET=${TRIPLE}-g++-posix
readonly LIBRARIES=(thread system filesystem atomic chrono date_time)
readonly CACHE_ROOT=${XDG_CACHE_HOME:-$HOME/.cache}/tarvo-logger
readonly PREFIX=${TARVO_BOOST_MINGW_PREFIX:-$CACHE_ROOT/boost-mingw-i686-1.74}
readonly STAMP=$PREFIX/.tarvo-complete
readonly JOBS=${JOBS:-$(nproc)}

log() { printf 'build-boost-mingw: %s\n' "$*" >&2; }
die() { log "$*"; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The stamp's content: what the prefix was built from. The source version is what apt would
# fetch, so a point release of the package in the archive rebuilds once.
fingerprint() {
  local compiler
  compiler=$("$CXX_TARGET" -dumpfullversion 2>/dev/null || echo none)
  printf 'package=%s\nversion=%s\ncompiler=%s %s\nlibraries=%s\nlink=static,shared\n' \
    "$BOOST_PACKAGE" "$1" "$CXX_TARGET" "$compiler" "${LIBRARIES[*]}"
}

# The version of the source package that apt would fetch, or empty when apt knows none.
source_version() {
  { apt-cache showsrc "$BOOST_PACKAGE" 2>/dev/null || true; } | awk '/^Version:/ { print $2; exit }'
}

prefix_is_complete() {
  local want=$1
  [ -f "$STAMP" ] || return 1
  [ -z "$want" ] || [ "$(cat "$STAMP")" = "$(fingerprint "$want")" ] || return 1
  local lib
  for lib in "${LIBRARIES[@]}"; do
    [ -f "$PREFIX/lib/libboost_$lib.a" ] && [ -f "$PREFIX/lib/libboost_$lib.dll.a" ] || return 1
  done
  [ -f "$PREFIX/include/boost/version.hpp" ]
}

if [ "${1:-}" = "--prefix" ]; then
  prefix_is_complete "" || die "no complete build in $PREFIX; run without --prefix"
  echo "$PREFIX"
  exit 0
fi

# Fast path: a complete prefix whose stamp matches is used as it is, without asking apt (apt may
# not even know source packages on this machine any more).
if [ -f "$STAMP" ]; then
  stamped=$(sed -n 's/^version=//p' "$STAMP")
  if prefix_is_complete "$stamped"; then
    echo "$PREFIX"
    exit 0
  fi
fi

install_missing() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  as_root apt-get update -q >/dev/null
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# --deb-src: only gives apt the deb-src entries it lacks (scripts/deb-src.sh), without updating
# the package lists (the caller updates them once, for everything it installs too); prints
# "changed" when the entries changed, and fails when apt refused them (they are removed again).
if [ "${1:-}" = "--deb-src" ]; then
  exec bash "$(dirname "$0")/deb-src.sh"
fi

install_missing "g++-mingw-w64-i686-posix" "dpkg-dev" "g++" "xz-utils" "bison"
command -v "$CXX_TARGET" >/dev/null || die "$CXX_TARGET not found after installing"

version=$(source_version)
if [ -z "$version" ]; then
  if [ -n "$(bash "$(dirname "$0")/deb-src.sh")" ]; then
    as_root apt-get update -q >/dev/null
  fi
  version=$(source_version)
  [ -n "$version" ] || die "apt knows no source package $BOOST_PACKAGE even with deb-src entries"
fi
if prefix_is_complete "$version"; then
  echo "$PREFIX"
  exit 0
fi

# Two builds at once (two build trees configured together) wait for each other; the second
# then finds the prefix complete.
mkdir -p "$CACHE_ROOT"
exec 9>"$CACHE_ROOT/.boost-mingw-i686.lock"
flock 9
if prefix_is_complete "$version"; then
  echo "$PREFIX"
  exit 0
fi

started=$(date +%s)
work=$CACHE_ROOT/work-boost-mingw-i686
rm -rf "$work" "$PREFIX"
mkdir -p "$work"
log "fetching source package $BOOST_PACKAGE $version from the configured archive"
# apt drops privileges to _apt for downloads; the work folder must be reachable for it.
chmod 0755 "$work"
(cd "$work" && apt-get source -q "$BOOST_PACKAGE=$version" >"$work/apt-source.log" 2>&1) \
  || { cat "$work/apt-source.log" >&2; die "apt-get source failed"; }
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'boost1.74-*' | head -n 1)
[ -n "$src" ] && [ -f "$src/bootstrap.sh" ] || die "no unpacked Boost source in $work"

# The Debian source leaves out b2's generated parser; its packaging makes it with bison first.
log "bootstrapping b2 with the build machine's compiler"
(cd "$src/tools/build" && bison -y -d -o src/engine/jamgram.cpp src/engine/jamgram.y \
  && cd "$src" && ./bootstrap.sh --with-toolset=gcc --without-icu) >"$work/bootstrap.log" 2>&1 \
  || { cat "$work/bootstrap.log" "$src/bootstrap.log" 2>/dev/null | tail -n 30 >&2; die "bootstrap failed"; }

cat >"$work/user-config.jam" <<EOF
using gcc : mingw : $CXX_TARGET
  : <archiver>$TRIPLE-ar <ranlib>$TRIPLE-ranlib <rc>$TRIPLE-windres
  ;
EOF

with_args=()
for lib in "${LIBRARIES[@]}"; do with_args+=("--with-$lib"); done

log "building ${LIBRARIES[*]} (static and shared) with $JOBS jobs"
(cd "$src" && ./b2 -q -j"$JOBS" -d0 \
  --user-config="$work/user-config.jam" \
  --build-dir="$work/build" --prefix="$PREFIX" --layout=system \
  toolset=gcc-mingw target-os=windows threadapi=win32 \
  architecture=x86 address-model=32 binary-format=pe abi=ms \
  variant=release link=static,shared runtime-link=shared threading=multi \
  cxxflags="-std=c++17" \
  "${with_args[@]}" install >"$work/b2.log" 2>&1) \
  || { tail -n 40 "$work/b2.log" >&2; die "b2 failed (full log: $work/b2.log)"; }

# Debian's own headers of the same source version are identical to the ones just installed;
# pointing at them keeps the prefix at a few MiB instead of 160.
headers_version=$(dpkg-query -W -f='${Version}' libboost1.74-dev 2>/dev/null || true)
if [ "$headers_version" = "$version" ] && [ -f /usr/include/boost/version.hpp ]; then
  rm -rf "$PREFIX/include/boost"
  ln -s /usr/include/boost "$PREFIX/include/boost"
fi

fingerprint "$version" >"$STAMP"
prefix_is_complete "$version" || die "b2 finished but $PREFIX is incomplete"
rm -rf "$work"
log "done in $(($(date +%s) - started)) s, $(du -sh "$PREFIX" | cut -f1) in $PREFIX"
echo "$PREFIX"
