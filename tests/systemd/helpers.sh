# Shared by the service's test scripts (sourced; they define fail MESSAGE first).

# A UDP port nobody on this machine uses, by its row in /proc/net/udp*.
free_port() {
  local port
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 40000))
    ! grep -qi ":$(printf '%04X' "$port") " /proc/net/udp /proc/net/udp6 && { echo "$port"; return; }
  done
  fail "no free UDP port found"
}

wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.05
  done
}
