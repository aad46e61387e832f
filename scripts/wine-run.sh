#!/usr/bin/env bash
# Runs a Windows program of a MinGW build tree under wine64 (CMake's cross-compiling emulator).
# One wine prefix per build tree, created on first use, and a persistent wineserver for it: with a
# server already up a program starts in a few tens of milliseconds instead of seconds.
set -u
exe=${1:?usage: wine-run.sh program.exe [args...]}
shift
WINE64=${VELDC_WINE64:-/usr/lib/wine/wine64}
WINESERVER=${VELDC_WINESERVER:-/usr/lib/wine/wineserver}

# The build tree is the nearest directory above the program that holds a CMakeCache.txt.
dir=$(cd "$(dirname "$exe")" && pwd)
while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
[ -f "$dir/CMakeCache.txt" ] || dir=$(pwd)

# VELDC_WINEPREFIX, not WINEPREFIX: a prefix of the user's own is never touched.
export WINEPREFIX=${VELDC_WINEPREFIX:-$dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install prompts in a headless prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

start_server() {
  # Detached, so that it holds none of our descriptors (CTest's output pipe, the lock).
  setsid "$WINESERVER" -p60 </dev/null >/dev/null 2>&1 9>&- &
}

# Parallel tests must not build the prefix twice.
exec 9>"$dir/wineprefix.lock"
flock 9
if [ ! -f "$WINEPREFIX/.veldc-ready" ]; then
  mkdir -p "$WINEPREFIX"
  start_server
  {
    "$WINE64" wineboot -i &&
      # The null graphics driver gives working dialogs without an X server.
      "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
  } >"$dir/wineprefix.log" 2>&1 </dev/null 9>&- || {
    echo "wine-run.sh: cannot create the prefix $WINEPREFIX (see $dir/wineprefix.log)" >&2
    exit 1
  }
  # The desktop process started during the boot has no graphics driver: start afresh.
  "$WINESERVER" -k 9>&- 2>/dev/null
  "$WINESERVER" -w 9>&- 2>/dev/null
  touch "$WINEPREFIX/.veldc-ready"
fi
start_server
flock -u 9
exec 9>&-

# The program's output goes through files: processes wine starts on the side (the desktop
# process on the first window) inherit its descriptors and would keep a pipe open after the
# program ended, so a reader waiting for the end of the output would hang.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.out.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.err.XXXXXX")
"$WINE64" "$exe" "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $rc
