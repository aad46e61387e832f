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
base=$dir/wineprefix
export WINEPREFIX=${VELDC_WINEPREFIX:-$base}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install prompts in a headless prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

start_server() {
  # Detached, so that it holds none of our descriptors (CTest's output pipe, the lock).
  setsid "$WINESERVER" -p60 </dev/null >/dev/null 2>&1 9>&- &
}

stop_server() {
  "$WINESERVER" -k 9>&- 2>/dev/null
  "$WINESERVER" -w 9>&- 2>/dev/null
}

# boot_prefix log: a fresh prefix by wineboot; its server is stopped afterwards, so that the
# registry is on disk and the next start reads the graphics setting.
boot_prefix() {
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX" || return 1
  start_server
  {
    "$WINE64" wineboot -i &&
      # The null graphics driver gives working dialogs without an X server.
      "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
  } >"$1" 2>&1 </dev/null 9>&-
  local rc=$?
  stop_server
  return $rc
}

# A prefix holds some 700 MB of programs and DLLs that wine only reads, so further prefixes of
# the tree share those with the first by hard links; every other file (the registry, .ini files)
# may be written and gets a copy of its own.
copy_prefix() {
  rm -rf "$WINEPREFIX"
  # A file system without hard links gets a full copy.
  cp -al "$base" "$WINEPREFIX" || { rm -rf "$WINEPREFIX" && cp -a "$base" "$WINEPREFIX"; } ||
    return 1
  rm -f "$WINEPREFIX/.veldc-ready"
  (cd "$base" && find . -type f ! -name '*.dll' ! -name '*.exe' ! -name .veldc-ready -print0) |
    while IFS= read -r -d '' file; do
      cp --remove-destination "$base/$file" "$WINEPREFIX/$file" || exit 1
    done
}

fail_prefix() {
  echo "wine-run.sh: cannot create the prefix $WINEPREFIX; the end of $1:" >&2
  tail -n 20 "$1" >&2
  df -h "$dir" >&2
  exit 1
}

# Parallel tests must not build a prefix twice.
exec 9>"$dir/wineprefix.lock"
flock 9
if [ ! -f "$WINEPREFIX/.veldc-ready" ]; then
  wanted=$WINEPREFIX
  log=$wanted.log
  if [ ! -f "$base/.veldc-ready" ]; then
    export WINEPREFIX=$base
    # A first boot that fails (seen on a loaded machine) is tried once more from scratch.
    boot_prefix "$log" || boot_prefix "$log" || fail_prefix "$log"
    touch "$base/.veldc-ready"
    export WINEPREFIX=$wanted
  fi
  if [ "$WINEPREFIX" != "$base" ]; then
    # The base prefix's own server may be running: what is on disk is a consistent state.
    copy_prefix >"$log" 2>&1 || fail_prefix "$log"
    touch "$WINEPREFIX/.veldc-ready"
  fi
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
