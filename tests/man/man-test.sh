#!/usr/bin/env bash
# The manual pages as man shows them: each renders without a warning, its sections come in the
# usual order, and every option that the program's --help lists is an entry under OPTIONS, so that
# the help and the page cannot drift apart.
# Usage: man-test.sh BUILD_DIR
set -euo pipefail
build_dir=$(cd "$1" && pwd)
fail() { echo "man test: $*" >&2; exit 1; }

if [ ! -f "$build_dir/man/loghost.1" ]; then
  echo "man test: skipped: the pages were not built (scdoc was not found when configuring)" >&2
  exit 77
fi
command -v man >/dev/null || { echo "man test: skipped: man is not installed (man-db)" >&2; exit 77; }

order=(NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES "SEE ALSO")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for page in loghost.1 udplog-recv.1 tarvo-logger.5; do
  file=$build_dir/man/$page
  MANWIDTH=80 man --warnings -l "$file" >"$work/text" 2>"$work/warnings" \
    || fail "man -l $page failed: $(cat "$work/warnings")"
  [ ! -s "$work/warnings" ] || fail "$page renders with warnings: $(cat "$work/warnings")"
  # The section headings, in order, must follow the usual order, beginning with NAME, SYNOPSIS
  # and DESCRIPTION and ending with SEE ALSO.
  mapfile -t headings < <(grep -E '^[A-Z][A-Z ]*[A-Z]$' "$work/text")
  next=0
  for heading in "${headings[@]}"; do
    while [ $next -lt ${#order[@]} ] && [ "${order[$next]}" != "$heading" ]; do next=$((next + 1)); done
    [ $next -lt ${#order[@]} ] || fail "$page: section $heading is out of order or unknown (${headings[*]})"
    next=$((next + 1))
  done
  for needed in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
    printf '%s\n' "${headings[@]}" | grep -qx "$needed" || fail "$page has no $needed section"
  done
done

# Options as --help lists them ("  -s, --separator C    text"): the words before the text.
options_of() {
  sed -E -n 's/^ +(-.*)$/\1/p' | sed -E 's/  .*//' | grep -oE '(^|, )--?[A-Za-z][A-Za-z-]*' \
    | sed 's/^, //' | sort -u
}
for program in loghost udplog-recv; do
  "$build_dir/bin/$program" --help | options_of >"$work/help"
  count=$(wc -l <"$work/help")
  [ "$count" -ge 8 ] || fail "only $count options read from $program --help: $(cat "$work/help")"
  MANWIDTH=200 man -l "$build_dir/man/$program.1" 2>/dev/null \
    | sed -n '/^OPTIONS$/,/^[A-Z]/p' | options_of >"$work/page"
  missing=$(comm -23 "$work/help" "$work/page")
  [ -z "$missing" ] || fail "$program.1 has no OPTIONS entry for: $(echo $missing)"
done
echo "man test: passed"
