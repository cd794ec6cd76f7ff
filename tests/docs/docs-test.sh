#!/usr/bin/env bash
# The README and the guides in docs/ as a reader follows them, in the sources and once installed:
# every relative link reaches a file that is installed beside them (and the heading it names), every
# guide is linked from the README, and the README shows the set-up commands that the CI runs.
# Usage: docs-test.sh SOURCE_DIR INSTALLED_DOC_FILE...  (paths relative to SOURCE_DIR)
set -euo pipefail
shopt -s nullglob
cd "$1"
shift
installed=" $* "
failed=0
fail() { echo "docs test: $*" >&2; failed=1; }

# A page's lines outside its fenced code blocks.
prose() { awk '/^```/ { code = !code; next } !code' "$1"; }
# The anchors of a page's headings, as Markdown renderers make them: lower case, punctuation other
# than "-" and "_" dropped, blanks turned into "-".
anchors() {
  prose "$1" | sed -n 's/^#\{1,6\} \{1,\}//p' | tr 'A-Z' 'a-z' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}
# A page's link targets, one a line: the part in parentheses of every [text](target).
targets() { prose "$1" | grep -o '\]([^)]*)' | sed 's/^](//; s/)$//' || true; }

pages=(README.md docs/*.md)
linked_from_readme=" "
for page in "${pages[@]}"; do
  while IFS= read -r target; do
    case "$target" in
      *://* | mailto:*) continue ;;
    esac
    file=${target%%#*}
    anchor=""
    [ "$file" = "$target" ] || anchor=${target#*#}
    if [ -z "$file" ]; then
      path=$page
    else
      path=$(realpath -m --relative-to=. "$(dirname "$page")/$file")
    fi
    if [ ! -f "$path" ]; then
      fail "$page links to $target: there is no $path"
      continue
    fi
    case "$installed" in
      *" $path "*) ;;
      *) fail "$page links to $target: $path is not installed with the documentation, so the link breaks there (name it as text, or install it in cmake/Install.cmake)" ;;
    esac
    if [ -n "$anchor" ] && ! anchors "$path" | grep -qxF -- "$anchor"; then
      fail "$page links to $target: $path has no heading whose anchor is #$anchor"
    fi
    [ "$page" != README.md ] || linked_from_readme+="$path "
  done < <(targets "$page")
done

for page in docs/*.md; do
  case "$linked_from_readme" in
    *" $page "*) ;;
    *) fail "$page is not linked from README.md: add it to the README's map of the guides" ;;
  esac
done

# The quick start's two commands, exactly as the CI and a new user run them.
for command in "bash scripts/setup.sh run" "bash scripts/setup.sh test"; do
  grep -Eq "^${command}( |\$)" README.md || fail "README.md does not show the command '$command'"
done
grep -qx "bash scripts/setup.sh test" .ci/run \
  || fail ".ci/run does not run 'bash scripts/setup.sh test', the README's test command"

[ $failed -eq 0 ] || exit 1
echo "docs test: ${#pages[@]} pages, every link reaches an installed page and heading"
