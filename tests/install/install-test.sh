#!/usr/bin/env bash
# Proves the installed project usable, away from the build tree:
#  1. installs the build into a temporary prefix;
#  2. builds the minimal client example there twice, once with find_package(TarvoLogger) and once
#     with pkg-config, as two component types;
#  3. runs both through the installed loghost --component and checks their lines in the log files;
#  4. builds the Debian packages (in a tree configured for /usr; cpack refuses a tree for
#     /usr/local), checks their contents (the manual pages where scdoc made them, the service's
#     unit and conffiles, the copyright file against LICENSE), lintian (no errors, no warnings
#     but the one explained), and runs the unpacked loghost --version.
# Usage: install-test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

client=$source_dir/examples/minimal-client
cmake -S "$client" -B "$work/fp" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS='-DCLIENT_NAME=\"findpackage\"' >/dev/null
cmake --build "$work/fp" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name tarvo-logger.pc)")
# shellcheck disable=SC2046
g++ -std=c++17 -shared -fPIC -o "$work/libpkgconfig.so" '-DCLIENT_NAME="pkgconfig"' \
  "$client/MinimalClient.cpp" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs tarvo-logger)

"$prefix/bin/loghost" -P TarvoLogger/StorageFormat=file -H "Directories/VarPath=$work/logs" \
  --component "$work/fp/libminimalclient.so" --component "$work/libpkgconfig.so" </dev/null \
  >"$work/out" || fail "the installed loghost failed: $(cat "$work/out")"
for name in findpackage pkgconfig; do
  count=$(grep -c "$name line [123] -> from a client built apart" "$work/logs/tarvolog.log" || true)
  [ "$count" = 3 ] || fail "$count lines of the $name client stored, not 3"
done

# A tree configured for another prefix makes no Debian package: cpack stops with one line naming
# the configure command that fits.
cmake -S "$source_dir" -B "$work/local" -G Ninja -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_BENCH=OFF \
  >/dev/null
if (cd "$work/local" && cpack -G DEB >"$work/local.log" 2>&1); then
  fail "cpack made packages in a tree configured for /usr/local"
fi
grep -q "prefix /usr/local; Debian packages need /usr: cmake .*-DCMAKE_INSTALL_PREFIX=/usr " \
  "$work/local.log" || fail "cpack in a tree for /usr/local says: $(cat "$work/local.log")"
[ -z "$(find "$work/local" -name '*.deb')" ] || fail "cpack left packages in a tree for /usr/local"

# Packages, from a tree configured for /usr as a distribution would.
cmake -S "$source_dir" -B "$work/pkg" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_BENCH=OFF >/dev/null
cmake --build "$work/pkg" -j2 >/dev/null
(cd "$work/pkg" && cpack -G DEB >"$work/cpack.log" 2>&1) || fail "cpack failed: $(cat "$work/cpack.log")"
# The plug-in is loaded by path and has no soname: the shlibs file names the host library alone.
! grep -qi "soname" "$work/cpack.log" || fail "cpack warned about a soname: $(cat "$work/cpack.log")"
runtime=$(ls "$work"/pkg/tarvo-logger_*.deb)
dev=$(ls "$work"/pkg/tarvo-logger-dev_*.deb)
libdir=usr/lib/$(gcc -print-multiarch)
expect() { grep -q " \./$2\$" <<<"$(dpkg-deb -c "$1")" || fail "$(basename "$1") lacks $2"; }
expect_not() { ! grep -q "$2" <<<"$(dpkg-deb -c "$1")" || fail "$(basename "$1") holds $2"; }
for path in usr/bin/loghost usr/bin/udplog-recv "$libdir/libhostframework.so.1.0.0" \
            "$libdir/tarvo-logger/lib000udploggerplugin.so"; do
  expect "$runtime" "$path"
done
# The README and its guides, at the paths that the links between them expect.
for page in README.md $(cd "$source_dir" && echo docs/*.md); do
  expect "$runtime" "usr/share/doc/tarvo-logger/$page"
done
for path in usr/include/logger/core/safe_pipe.h usr/include/logger/plugin/TarvoLoggerPayloads.h \
            usr/include/logger/Version.h "$libdir/cmake/TarvoLogger/TarvoLoggerConfig.cmake" \
            "$libdir/pkgconfig/tarvo-logger.pc" \
            usr/share/doc/tarvo-logger-dev/examples/minimal-client/MinimalClient.cpp \
            usr/share/doc/tarvo-logger-dev/examples/ExampleClient.cpp; do
  expect "$dev" "$path"
done
# One summary line per package, its own, and the text under it indented by one blank.
for deb in "$runtime" "$dev"; do
  description=$(dpkg-deb -f "$deb" Description)
  [ "$(sed -n 2p <<<"$description" | cut -c1-2)" != "  " ] || fail "$(basename "$deb"): text indented twice"
  [ "$(grep -c 'logging plug-in for an in-process message bus' <<<"$description")" = 1 ] \
    || fail "$(basename "$deb"): the summary stands twice: $description"
done
# The manual pages, where this build made them (scdoc found), gzipped as Debian has them.
man_pages=0
if [ -f "$build_dir/man/loghost.1" ]; then
  man_pages=1
  for path in usr/share/man/man1/loghost.1.gz usr/share/man/man1/udplog-recv.1.gz \
              usr/share/man/man5/tarvo-logger.5.gz; do
    expect "$runtime" "$path"
  done
  for page in share/man/man1/loghost.1.gz share/man/man5/tarvo-logger.5.gz; do
    gzip -t "$prefix/$page" 2>/dev/null || fail "cmake --install gave no gzipped $page"
  done
else
  echo "install test: the manual pages were not built (no scdoc); not checked" >&2
fi
# The collector's service: the unit where systemd reads it, its options file and its logrotate
# file conffiles.
expect "$runtime" usr/lib/systemd/system/udplog-recv.service
for conffile in /etc/default/udplog-recv /etc/logrotate.d/udplog-recv; do
  expect "$runtime" "${conffile#/}"
  dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./conffiles | grep -qx "$conffile" \
    || fail "$conffile is not a conffile of $(basename "$runtime")"
done
for path in lib/systemd/system/udplog-recv.service etc/default/udplog-recv \
            etc/logrotate.d/udplog-recv; do
  [ -f "$prefix/$path" ] || fail "cmake --install put no $path under the prefix"
done
grep -q "^ExecStart=/bin/sh -c 'set -f; exec /usr/bin/udplog-recv " <(dpkg-deb --fsys-tarfile \
  "$runtime" | tar -xO ./usr/lib/systemd/system/udplog-recv.service) \
  || fail "the packaged unit does not start /usr/bin/udplog-recv"
expect_not "$runtime" "usr/include"
expect_not "$runtime" "_tests"
# The libraries dpkg-shlibdeps found, and procps for the unit's /bin/kill.
for library in libboost-thread libgnutls30 procps; do
  dpkg-deb -f "$runtime" Depends | grep -q "$library" \
    || fail "the runtime package does not depend on $library: $(dpkg-deb -f "$runtime" Depends)"
done

if command -v lintian >/dev/null; then
  for deb in "$runtime" "$dev"; do
    if lintian --no-tag-display-limit "$deb" >"$work/lintian" 2>&1; then :; fi
    # No error, and no warning but the one the README explains (the runtime package is not named
    # after the host library's soname); a missing manual page only where scdoc made none.
    allowed=package-name-doesnt-match-sonames
    [ $man_pages = 1 ] || allowed="$allowed|no-manual-page"
    unexpected=$(grep -E "^[EW]:" "$work/lintian" | grep -vE "^W: [^ ]+ ($allowed)( |$)" || true)
    [ -z "$unexpected" ] || fail "lintian on $(basename "$deb"): $unexpected"
  done
else
  echo "install test: lintian is not installed; the packages were not linted" >&2
fi

mkdir "$work/root"
dpkg-deb -x "$runtime" "$work/root"
# The copyright file carries LICENSE's holder and permission text, in the machine-readable form.
copyright=$work/root/usr/share/doc/tarvo-logger/copyright
holder=$(sed -n 's/^Copyright (c) //p' "$source_dir/LICENSE")
grep -qx "Copyright: $holder" "$copyright" || fail "the copyright file does not name $holder"
expected=$(sed '1,/^Copyright (c)/d' "$source_dir/LICENSE" | sed '1{/^$/d}' | sed 's/^$/./; s/^/ /')
actual=$(awk '/^License: Expat$/ { n++; next } n == 2' "$copyright")
[ "$expected" = "$actual" ] || fail "the copyright file's Expat text is not LICENSE's: $(diff \
  <(echo "$expected") <(echo "$actual"))"
! grep -q "GPL" "$copyright" \
  || fail "the copyright file names a GPL, which no part of the package carries any more"

version=$(LD_LIBRARY_PATH=$work/root/$libdir "$work/root/usr/bin/loghost" --version)
[ "$version" = "loghost $(dpkg-deb -f "$runtime" Version)" ] || fail "unpacked loghost says: $version"
version=$("$work/root/usr/bin/udplog-recv" --version)
[ "$version" = "udplog-recv $(dpkg-deb -f "$runtime" Version)" ] || fail "unpacked udplog-recv says: $version"
echo "install test: passed"
