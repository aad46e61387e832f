#!/usr/bin/env bash
# Runs a Windows test program under wine64 against veldc-sim's Pelo adapter on a network of its
# own: two network namespaces joined by a veth pair, the host side (wine and its wineserver,
# which owns the sockets) at 192.168.0.1 and the adapter at 192.168.0.10, both on UDP port
# 5005. On one host the library's and the adapter's sockets would collide on that port.
# Needs root and iproute2; the program learns the adapter from VELDC_PELO_ADDRESS.
# usage: pelo_harness.sh <wine-run.sh> <prefix dir> <program.exe> [program args...]
set -u
source "$(dirname "$0")/harness.sh" "$@"
sim=${VELDC_LINUX_SIM:-}

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || [ ! -x "$sim" ]; then
  [ -n "${VELDC_REQUIRE_LINUX_SIM:-}" ] && { echo "pelo_harness: no veldc-sim at '$sim'" >&2; exit 1; }
  echo "pelo_harness: SKIPPED (needs root, iproute2 and veldc-sim)"
  exit 0
fi

tag=$$
host_ns=veldc-host-$tag
pelo_ns=veldc-pelo-$tag
undo() { ip netns del "$host_ns"; ip netns del "$pelo_ns"; }

# A server of this prefix outside the namespace would own the sockets: stop it first.
"$WINESERVER" -k 2>/dev/null

# Containers without the right to make namespaces cannot run this test at all.
if ! ip netns add "$host_ns" 2>"$work/netns.log"; then
  echo "pelo_harness: SKIPPED (cannot create a network namespace: $(cat "$work/netns.log"))"
  exit 0
fi
ip netns add "$pelo_ns" &&
  ip -n "$host_ns" link add vh$tag type veth peer name vp$tag netns "$pelo_ns" &&
  ip -n "$host_ns" addr add 192.168.0.1/24 dev vh$tag &&
  ip -n "$pelo_ns" addr add 192.168.0.10/24 dev vp$tag &&
  ip -n "$host_ns" link set lo up && ip -n "$pelo_ns" link set lo up &&
  ip -n "$host_ns" link set vh$tag up && ip -n "$pelo_ns" link set vp$tag up ||
  { echo "pelo_harness: cannot set up the namespaces" >&2; exit 1; }

serve adapter ip netns exec "$pelo_ns" "$sim" --pelo --pelo-address 192.168.0.10 \
  --pelo-port 5005 -t 1 || exit 1

in_ns=(ip netns exec "$host_ns")
VELDC_PELO_ADDRESS=192.168.0.10 "${in_ns[@]}" "$wine_run" "$program" "${args[@]}"
