#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what is missing, builds, and then
#   run   builds only what the quick start uses (target quickstart), pipes the sample log lines
#         through loghost into the in-memory ring and prints the dump;
#   test  checks the formatting and runs every test suite, in the normal build and again in an
#         address+undefined-behaviour sanitizer build and a thread sanitizer build, then runs each
#         fuzzer briefly (tests/fuzz/run.sh runs them for longer) and builds the library targets
#         with clang's -Wthread-safety, which proves the GUARDED_BY / REQUIRES locking rules.
# Usage: scripts/setup.sh run|test
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
  run|test) ;;
  *) echo "usage: scripts/setup.sh run|test" >&2; exit 2 ;;
esac

# run builds only the quick start's targets, without the tests and the benchmarks, so it needs only
# the compilers and the libraries the programs link.
packages=(g++ cmake ninja-build pkg-config libboost-thread-dev libboost-system-dev
          libboost-filesystem-dev libgnutls28-dev)
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
sources_changed=0
windows_blocked=""
if [ "$mode" = test ]; then
  packages+=(dpkg-dev file libgtest-dev libbenchmark-dev libspdlog-dev libfmt-dev scdoc)
  packages+=(clang-format clang-tidy clang libclang-rt-14-dev lintian rsyslog rsyslog-relp gnutls-bin
              man-db systemd procps logrotate)
  # The Windows build: the cross-compiler, what Boost's build from Debian's source package needs,
  # and Wine with its 32-bit half. The i386 architecture and the deb-src entries go in before the
  # one package-list update, so that the scripts the Windows step runs find everything present.
  packages+=(g++-mingw-w64-i686-posix xz-utils bison wine wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
    sources_changed=1
  fi
  # Debian's source entries for the Windows step's Boost; when apt refuses them they are taken
  # back at once and only the Windows step fails, after everything else has run.
  if deb_src=$(bash scripts/deb-src.sh); then
    [ -z "$deb_src" ] || sources_changed=1
  else
    windows_blocked="apt refused the deb-src entries that Boost's sources need (see above)"
  fi
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $sources_changed -eq 1 ]; then
  echo "installing: ${missing[*]:-(package lists only)}" >&2
  "${sudo[@]}" apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  fi
fi

build=build
if [ "$mode" = run ]; then
  # The programs, the plug-in and the example client (the target quickstart), nothing else.
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_BUILD_TESTS=OFF \
    -DLOGGER_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j2 --target quickstart >&2
  exec "$build/bin/loghost" --dump examples/sample.log
fi
# Everything, also after a run that configured build/ without the tests.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_BUILD_TESTS=ON \
  -DLOGGER_BUILD_BENCH=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$build" -j2 >&2

scripts/check-format.sh
# No function of the programs, the plug-in or the host library over 60 lines (clang-tidy).
scripts/function-size.sh "$build"
# The tests check every metrics file with promtool, taken out of Debian's package (not installed).
PROMTOOL=$(bash scripts/promtool.sh) || PROMTOOL=""
export PROMTOOL
(cd "$build" && ctest -j2 --output-on-failure)

for sanitizer in address thread; do
  tree="build-$sanitizer"
  echo "== the suite under the $sanitizer sanitizer" >&2
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_SANITIZER="$sanitizer" \
    -DLOGGER_BUILD_BENCH=OFF >/dev/null
  cmake --build "$tree" -j2 >&2
  (cd "$tree" && ctest -j2 --output-on-failure)
done

echo "== the fuzzers, briefly" >&2
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DLOGGER_FUZZ=ON -DLOGGER_FUZZ_SECONDS=15 \
  >/dev/null
cmake --build build-fuzz -j2 >&2
(cd build-fuzz && ctest --output-on-failure)

# The locking rules written as annotations (logger/core/ThreadAnnotations.h), checked by clang; the
# project's targets build with -Werror, so a broken rule fails the build. No tests or benchmarks.
echo "== clang's thread-safety analysis" >&2
CC=clang CXX=clang++ cmake -S . -B build-tsa -G Ninja -DLOGGER_BUILD_TESTS=OFF \
  -DLOGGER_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS=-Wthread-safety >/dev/null
cmake --build build-tsa -j2 >&2

# The same sources for 32-bit Windows: installs mingw-w64, Wine and what Boost's build needs if
# missing, builds Boost for the target once (cached), cross-builds into build-win and runs the
# portable tests under Wine.
echo "== the Windows build under Wine" >&2
if [ -n "$windows_blocked" ]; then
  echo "the Windows step cannot run: $windows_blocked; every other step passed" >&2
  exit 1
fi
bash scripts/build-windows.sh test
