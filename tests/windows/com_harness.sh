#!/usr/bin/env bash
# Runs a Windows test program under wine64 with its COM ports on the Linux side:
#   COM3  a direct terminal served by veldc-sim (when VELDC_LINUX_SIM names it), with the file
#         "data" on it; VELDC_SIM_DIR tells the program where its files are
#   COM4  mapped to a path that does not exist
# usage: com_harness.sh <wine-run.sh> <prefix dir> <program.exe> [program args...]
set -u
source "$(dirname "$0")/harness.sh" "$@"

sim=${VELDC_LINUX_SIM:-}
if [ -n "$sim" ] && [ -x "$sim" ]; then
  mkdir -p "$work/in" "$work/out"
  printf 'AB\r\nCD\r\n' >"$work/in/data"
  serve sim "$sim" --direct --files "$work/in" --save "$work/out" --reply-delay 1 --line-gap 0 ||
    exit 1
  export VELDC_SIM_DIR="Z:${work//\//\\}"
  com3=$(head -n1 "$work/sim.path")
elif [ -n "${VELDC_REQUIRE_LINUX_SIM:-}" ]; then
  echo "com_harness: veldc-sim not found at '$sim'" >&2 && exit 1
else
  echo "com_harness: no veldc-sim, the session tests are skipped"
fi

# The wineserver reads the port mapping when it starts.
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n"COM3"="%s"\r\n"COM4"="%s"\r\n' \
  "${com3:-}" "$work/missing" >"$work/ports.reg"
"$wine_run" reg import "Z:${work//\//\\}\\ports.reg" >"$work/reg.log" 2>&1 ||
  { cat "$work/reg.log"; exit 1; }
"$WINESERVER" -k 2>/dev/null
sleep 0.2

"$wine_run" "$program" "${args[@]}"
