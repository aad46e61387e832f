# What the Windows test harnesses share; sourced by them with their own arguments:
#   <wine-run.sh> <prefix dir> <program.exe> [program args...]
# It sets wine_run, WINEPREFIX (and VELDC_WINEPREFIX), program, args and WINESERVER.
wine_run=$1
export WINEPREFIX=$2 VELDC_WINEPREFIX=$2
program=$3
shift 3
args=("$@")
WINESERVER=${VELDC_WINESERVER:-/usr/lib/wine/wineserver}
pids=()

# serve NAME DIR COMMAND...: runs COMMAND in the background (its process id goes into pids),
# its output in DIR/NAME.path and its errors in DIR/NAME.log, and waits up to 5 s for its
# output, whose first line says where it serves.
serve() {
  local name=$1 dir=$2
  shift 2
  "$@" </dev/null >"$dir/$name.path" 2>"$dir/$name.log" &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$dir/$name.path" ] && return 0; sleep 0.1; done
  echo "$(basename "$0"): $name did not start" >&2
  cat "$dir/$name.log" >&2
  return 1
}
