#!/usr/bin/env bash
# Gives apt the deb-src entries it needs to fetch Debian source packages (the Windows build takes
# Boost from Debian's own sources), derived from the machine's active Debian "deb" entries:
#
#   bash scripts/deb-src.sh [--root DIR]
#
# One deb-src entry per archive address and suite, with the components of every deb entry for
# them and the key that one of them names (none where none names one), so the result is what apt
# already accepts. An address and suite that has a deb-src entry anywhere is left alone; disabled
# entries ("Enabled: no", commented lines) and other vendors' archives are not looked at.
#
# The entries go to etc/apt/sources.list.d/tarvo-deb-src.sources under the root (default /).
# After writing, apt reads the sources again; when it refuses them the file is removed at once,
# apt's words are shown with the entries to add by hand, and the exit status is 1. The file is
# rewritten when what it should hold changed (so a file left by an older derivation is mended),
# and removed when nothing is needed any more. Prints "changed" when the file changed, so the
# caller knows to update the package lists once; nothing otherwise.
#
# Environment: APT_GET, the apt-get that checks the sources (default: apt-get).
set -euo pipefail

root=/
if [ "${1:-}" = --root ]; then
  [ $# -ge 2 ] || { echo "usage: scripts/deb-src.sh [--root DIR]" >&2; exit 2; }
  root=$2
  shift 2
fi
[ $# -eq 0 ] || { echo "usage: scripts/deb-src.sh [--root DIR]" >&2; exit 2; }

readonly ETC=${root%/}/etc/apt
readonly OUT=$ETC/sources.list.d/tarvo-deb-src.sources
readonly APT_GET=${APT_GET:-apt-get}

log() { printf 'deb-src: %s\n' "$*" >&2; }

# Root rights only where the folder is not ours to write (the machine's own /etc/apt).
as_root() {
  if [ -w "$ETC/sources.list.d" ] || [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# apt reading the sources under the root: exit status and its own words.
apt_check() {
  local args=()
  [ "$root" = / ] || args=(-o "Dir::Etc=$ETC")
  "$APT_GET" "${args[@]}" indextargets --format '$(URI)' 2>&1 >/dev/null
}

# Every active entry, one per line: "type<TAB>uri<TAB>suite<TAB>components<TAB>key", the URI
# without its trailing slash (apt treats both spellings as one archive), the key's lines joined
# by \036 when it is an inline block.
entries() {
  local f
  for f in "$ETC"/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$OUT" ] || continue
    awk '
      function flush(   u, s, t, nu, ns, nt, i, j, k) {
        if (enabled) {
          nt = split(types, t, /[[:space:]]+/); nu = split(uris, u, /[[:space:]]+/)
          ns = split(suites, s, /[[:space:]]+/)
          for (k = 1; k <= nt; k++) for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++) {
            if (t[k] == "" || u[i] == "" || s[j] == "") continue
            uri = u[i]; sub(/\/+$/, "", uri)
            printf "%s\t%s\t%s\t%s\t%s\n", t[k], uri, s[j], comps, key
          }
        }
        types = uris = suites = comps = key = ""; field = ""; enabled = 1
      }
      BEGIN { enabled = 1 }
      /^[[:space:]]*$/ { flush(); next }
      /^#/ { next }
      /^[[:space:]]/ {
        if (field == "signed-by") { line = $0; key = key "\036" line }
        else if (field != "") { v = $0; sub(/^[[:space:]]+/, "", v); value_of[field] = value_of[field] " " v; assign() }
        next
      }
      {
        field = tolower(substr($0, 1, index($0, ":") - 1)); v = substr($0, index($0, ":") + 1)
        sub(/^[[:space:]]+/, "", v); sub(/[[:space:]]+$/, "", v); value_of[field] = v; assign()
        if (field == "signed-by") key = v
        if (field == "enabled" && tolower(v) == "no") enabled = 0
      }
      function assign() {
        if (field == "types") types = value_of[field]
        else if (field == "uris") uris = value_of[field]
        else if (field == "suites") suites = value_of[field]
        else if (field == "components") comps = value_of[field]
      }
      END { flush() }
    ' "$f"
  done
  for f in "$ETC/sources.list" "$ETC"/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    # "deb [options] uri suite components  # comment"
    awk '
      { sub(/#.*/, "") }
      $1 != "deb" && $1 != "deb-src" { next }
      {
        line = $0; opts = ""
        if (match(line, /\[[^]]*\]/)) {
          opts = substr(line, RSTART + 1, RLENGTH - 2)
          line = substr(line, 1, RSTART - 1) " " substr(line, RSTART + RLENGTH)
        }
        n = split(line, w, /[[:space:]]+/); i = 1
        while (i <= n && w[i] == "") i++
        type = w[i]; uri = w[i + 1]; suite = w[i + 2]; comps = ""
        for (j = i + 3; j <= n; j++) if (w[j] != "") comps = comps (comps == "" ? "" : " ") w[j]
        if (uri == "" || suite == "") next
        key = ""
        m = split(opts, o, /[[:space:]]+/)
        for (j = 1; j <= m; j++) if (tolower(substr(o[j], 1, 10)) == "signed-by=") key = substr(o[j], 11)
        sub(/\/+$/, "", uri)
        printf "%s\t%s\t%s\t%s\t%s\n", type, uri, suite, comps, key
      }
    ' "$f"
  done
}

# The deb822 text of the entries apt lacks: one stanza per Debian address and suite that has a
# deb entry and no deb-src entry.
derive() {
  entries | awk -F '\t' '
    function debian(uri, key) {
      return uri ~ /[.\/]debian\.(org|net)([\/:]|$)/ || key ~ /debian-archive-keyring/
    }
    $1 == "deb-src" { has_src[$2 "\t" $3] = 1; next }
    $1 != "deb" || !debian($2, $5) { next }
    {
      id = $2 "\t" $3
      if (!(id in seen)) { seen[id] = 1; order[++n] = id; uri[id] = $2; suite[id] = $3 }
      c = split($4, list, " ")
      for (i = 1; i <= c; i++) if (!((id, list[i]) in have)) {
        have[id, list[i]] = 1; comps[id] = comps[id] (comps[id] == "" ? "" : " ") list[i]
      }
      if (key[id] == "" && $5 != "") key[id] = $5
    }
    END {
      for (i = 1; i <= n; i++) {
        id = order[i]
        if (id in has_src) continue
        print "Types: deb-src"
        print "URIs: " uri[id]
        print "Suites: " suite[id]
        if (comps[id] != "") print "Components: " comps[id]
        if (key[id] != "") { k = key[id]; gsub(/\036/, "\n", k); print "Signed-By: " k }
        print ""
      }
    }
  '
}

wanted=$(derive)
if [ -z "$wanted" ]; then
  if [ -f "$OUT" ]; then
    as_root rm -f "$OUT"
    echo changed
  fi
  exit 0
fi

changed=0
if [ ! -f "$OUT" ] || [ "$(cat "$OUT")" != "$wanted" ]; then
  tmp=$(mktemp)
  trap 'rm -f "$tmp"' EXIT
  printf '%s\n' "$wanted" >"$tmp"
  log "adding deb-src entries in $OUT"
  as_root install -m 0644 "$tmp" "$OUT"
  changed=1
fi
if ! said=$(apt_check); then
  as_root rm -f "$OUT"
  if apt_check >/dev/null; then
    log "apt refused the derived entries, so $OUT was removed again. apt said:"
  else
    log "apt refuses this machine's sources even without $OUT (removed again). apt said:"
  fi
  printf '%s\n' "$said" >&2
  log "add the Debian source entries by hand (for example as a file in $ETC/sources.list.d/):"
  printf '%s\n' "$wanted" >&2
  exit 1
fi
[ $changed -eq 0 ] || echo changed
