# What the Windows test harnesses share; sourced by them with their own arguments:
#   <wine-run.sh> <prefix dir> <program.exe> [program args...]
# It sets wine_run, WINEPREFIX (and VELDC_WINEPREFIX), program, args, WINESERVER and work (a
# scratch directory). On exit it stops the wineserver (run through `in_ns`, where the harness
# sets it), whatever `serve` started, then runs the harness's `undo` and removes work.
wine_run=$1
export WINEPREFIX=$2 VELDC_WINEPREFIX=$2
program=$3
shift 3
args=("$@")
WINESERVER=${VELDC_WINESERVER:-/usr/lib/wine/wineserver}
pids=() in_ns=()
undo() { :; }
work=$(mktemp -d "${TMPDIR:-/tmp}/veldc-wine.XXXXXX") || exit 1
cleanup() {
  "${in_ns[@]}" "$WINESERVER" -k 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  undo 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# serve NAME COMMAND...: runs COMMAND in the background (its process id goes into pids), its
# output in work/NAME.path and its errors in work/NAME.log, and waits up to 5 s for its output,
# whose first line says where it serves.
serve() {
  local name=$1
  shift
  "$@" </dev/null >"$work/$name.path" 2>"$work/$name.log" &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$work/$name.path" ] && return 0; sleep 0.1; done
  echo "$(basename "$0"): $name did not start" >&2
  cat "$work/$name.log" >&2
  return 1
}
