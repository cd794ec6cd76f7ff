#!/usr/bin/env bash
# Prints the path of a promtool, Prometheus's checker of metrics files, for the tests. One on the
# PATH is used as it is; otherwise the binary is taken out of Debian's prometheus package into a
# cache (downloaded once, never installed: the package would start a Prometheus server).
#   ${XDG_CACHE_HOME:-$HOME/.cache}/tarvo-logger/promtool/usr/bin/promtool
set -euo pipefail
if command -v promtool >/dev/null; then
  command -v promtool
  exit 0
fi
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tarvo-logger/promtool
if [ ! -x "$cache/usr/bin/promtool" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chmod 0755 "$work"  # apt drops privileges to _apt for downloads
  (cd "$work" && apt-get download -q prometheus >"$work/download.log" 2>&1) \
    || { cat "$work/download.log" >&2; echo "promtool.sh: apt-get download prometheus failed" >&2; exit 1; }
  mkdir -p "$cache"
  dpkg-deb -x "$work"/prometheus_*.deb "$work/root"
  install -D -m 0755 "$work/root/usr/bin/promtool" "$cache/usr/bin/promtool"
fi
echo "$cache/usr/bin/promtool"
