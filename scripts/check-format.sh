#!/usr/bin/env bash
# Fails when a C++ file of the project is not formatted by .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files --cached --others --exclude-standard '*.h' '*.cpp' 2>/dev/null || find . -path './build*' -prune -o \( -name '*.h' -o -name '*.cpp' \) -print)
bad=()
for f in $files; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted (run clang-format -i): ${bad[*]}" >&2
  exit 1
fi
echo "formatting: $(echo "$files" | wc -w) files checked"
