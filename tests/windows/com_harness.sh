#!/usr/bin/env bash
# Runs a Windows test program under wine64 with COM1..COM4 mapped to ptys:
# COM1 <-> COM2 and COM3 <-> COM4 are the two ends of two socat pty pairs.
# usage: com_harness.sh <wine-run.sh> <prefix dir> <program.exe> [program args...]
set -u
wine_run=$1
export WINEPREFIX=$2
program=$3
shift 3
args=("$@")
WINESERVER=${VELDC_WINESERVER:-/usr/lib/wine/wineserver}

ports=$(mktemp -d "${TMPDIR:-/tmp}/veldc-com.XXXXXX")
pids=()
cleanup() {
  "$WINESERVER" -k 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$ports"
}
trap cleanup EXIT

for pair in "1 2" "3 4"; do
  read -r a b <<<"$pair"
  socat "pty,raw,echo=0,link=$ports/com$a" "pty,raw,echo=0,link=$ports/com$b" \
    </dev/null >/dev/null 2>"$ports/socat$a.log" &
  pids+=($!)
done
for n in 1 2 3 4; do
  for _ in $(seq 50); do [ -e "$ports/com$n" ] && break; sleep 0.1; done
  [ -e "$ports/com$n" ] || { echo "no pty for COM$n" >&2; exit 1; }
done

# The wineserver reads the port mapping when it starts.
for n in 1 2 3 4; do
  "$wine_run" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$ports/com$n" /f \
    >"$ports/reg.log" 2>&1 || { cat "$ports/reg.log"; exit 1; }
done
"$WINESERVER" -k 2>/dev/null
sleep 0.2

VELDC_COM_PAIR=1 "$wine_run" "$program" "${args[@]}"
