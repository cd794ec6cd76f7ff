#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what is missing, builds, and then
#   run   pipes the sample log lines through loghost into the in-memory ring and prints the dump;
#   test  checks the formatting and runs every test suite, in the normal build and again in an
#         address+undefined-behaviour sanitizer build and a thread sanitizer build, then runs each
#         fuzzer briefly (tests/fuzz/run.sh runs them for longer).
# Usage: scripts/setup.sh run|test
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
  run|test) ;;
  *) echo "usage: scripts/setup.sh run|test" >&2; exit 2 ;;
esac

packages=(g++ cmake ninja-build pkg-config dpkg-dev file libboost-thread-dev libboost-system-dev
          libboost-filesystem-dev libgtest-dev libbenchmark-dev libspdlog-dev rsyslog)
[ "$mode" = test ] && packages+=(clang-format clang libclang-rt-14-dev lintian)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >&2

if [ "$mode" = run ]; then
  exec "$build/bin/loghost" --dump examples/sample.log
fi

scripts/check-format.sh
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

# The same sources for 32-bit Windows: installs mingw-w64, Wine and what Boost's build needs if
# missing, builds Boost for the target once (cached), cross-builds into build-win and runs the
# portable tests under Wine.
echo "== the Windows build under Wine" >&2
bash scripts/build-windows.sh test
