#!/usr/bin/env bash
# No function of the programs, the plug-in, the host library or the platform layer is over 60
# lines: clang-tidy's readability-function-size over every source the build compiles for them
# (tests, benchmarks and examples aside), and over the headers of those folders that they include.
# Fails when clang-tidy is missing, when the build has no compile_commands.json, when a source is
# not in it, or when clang-tidy cannot read a file: a check that read nothing never passes.
# Usage: function-size.sh BUILD_DIR   (configured with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:?usage: function-size.sh BUILD_DIR}" && pwd)
fail() { echo "function size: $*" >&2; exit 1; }

tidy=$(command -v clang-tidy || command -v clang-tidy-14) \
  || fail "clang-tidy is not installed (apt-get install clang-tidy)"
[ -f "$build/compile_commands.json" ] \
  || fail "$build/compile_commands.json is missing (configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)"

folders=(logger host loghost udplog-recv platform)
mapfile -t sources < <(find "${folders[@]}" -name '*.cpp' -not -path 'platform/win32/*' | sort)
[ ${#sources[@]} -gt 0 ] || fail "no sources found under ${folders[*]}"
for source in "${sources[@]}"; do
  grep -q "\"file\": \"$root/$source\"" "$build/compile_commands.json" \
    || fail "$source is not in $build/compile_commands.json (built for another platform, or not built)"
done

# clang-tidy counts a function's lines without its first: 59 of its lines are 60 of ours, from
# the signature to the closing brace.
config='{Checks: "-*,readability-function-size", WarningsAsErrors: "*",
  CheckOptions: [{key: readability-function-size.LineThreshold, value: 59}]}'
headers="^$root/($(IFS='|'; echo "${folders[*]}"))/"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Two at a time; clang-tidy's own status tells a long function and a file it could not read
# apart from a clean one, and every file's status counts.
if ! printf '%s\n' "${sources[@]}" | xargs -P 2 -n 4 "$tidy" -p "$build" --quiet \
  --config="$config" --header-filter="$headers" --extra-arg=-Wno-unknown-warning-option \
  >"$log" 2>&1; then
  grep -E 'error:|note: [0-9]+ lines' "$log" | sort -u >&2 || cat "$log" >&2
  fail "functions over 60 lines or files clang-tidy could not read (above)"
fi
echo "function size: ${#sources[@]} sources and their headers checked, none over 60 lines"
