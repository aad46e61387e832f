#!/usr/bin/env bash
# The one test command. On a fresh Debian 12 (as root) it installs what the build and the tests
# need, then builds and tests every preset:
#   format      clang-format check of the project's C/C++ sources
#   mingw-i686  VELDC.DLL for 32-bit Windows (its exports and resources are checked by dev)
#   dev         Linux debug build, unit and integration tests
#   asan        the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   release     the optimised Linux build (built warning-free; its tests are those of dev)
#   fuzz        clang libFuzzer targets, each run on its seed corpus for 20 seconds
#   coverage    line and branch coverage of src/ over the unit, integration and CLI suites
#               (gcovr), and the check that every error path of src/ is taken by a test
#   mingw-x64   the 64-bit Windows build; its tests run under wine64
#   package     the .deb set (lintian, hardening) installed in a clean Debian 12 root made by
#               debootstrap, and the two Windows archives (scripts/package.sh)
# It ends with a summary and exits non-zero if any step failed.
#
# Environment: VELDC_STEPS="dev asan" runs only the named steps; VELDC_SKIP_INSTALL=1 never
# calls apt-get.
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT" || exit 1
LOGS="$ROOT/build/logs"
mkdir -p "$LOGS"

# One run at a time in a tree: each step starts from a clean build directory.
RUNNING="$ROOT/build/test.pid"
while [ -f "$RUNNING" ] && kill -0 "$(cat "$RUNNING" 2>/dev/null)" 2>/dev/null; do
  echo "waiting for the run in progress (process $(cat "$RUNNING"))"
  sleep 10
done
echo $$ >"$RUNNING"
trap 'rm -f "$RUNNING"' EXIT

PACKAGES=(
  build-essential g++ cmake ninja-build git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  pkg-config libtomlplusplus-dev libsqlite3-dev libpq-dev postgresql-15
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64
  wine64 wine fonts-wine socat iproute2 util-linux python3 python3-jsonschema
  clang libclang-rt-14-dev clang-format gcovr stress-ng
  pandoc man-db pkgconf bash-completion python3-pytest python3-build python3-setuptools
  python3-wheel lintian debootstrap dpkg-dev
)

log() { printf '\n=== %s\n' "$*"; }

source "$ROOT/scripts/install_missing.sh"

# Every step's output goes to a file first and is shown afterwards: wine's background processes
# keep inherited pipes open, so a reader waiting on a pipe would hang.
declare -a STEP_NAMES=() STEP_RESULTS=() STEP_TIMES=()
FAILED=0
run_step() {
  local name=$1
  shift
  local logfile="$LOGS/$name.log" start end rc
  log "$name: $*"
  start=$(date +%s)
  "$@" >"$logfile" 2>&1 </dev/null
  rc=$?
  end=$(date +%s)
  cat "$logfile"
  STEP_NAMES+=("$name")
  STEP_TIMES+=("$((end - start))s")
  if [ $rc -eq 0 ]; then
    STEP_RESULTS+=("PASS")
  else
    STEP_RESULTS+=("FAIL (exit $rc, log $logfile)")
    FAILED=1
  fi
  return $rc
}

wanted() {
  [ -z "${VELDC_STEPS:-}" ] && return 0
  case " $VELDC_STEPS " in *" $1 "*) return 0 ;; esac
  return 1
}

format_check() {
  local files
  mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h' '*.hpp' 2>/dev/null)
  if [ ${#files[@]} -eq 0 ]; then
    mapfile -t files < <(find include src sim tools tests examples -name '*.[ch]' -o \
      -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
  fi
  echo "checking ${#files[@]} files"
  clang-format --dry-run -Werror "${files[@]}"
}

# A clean configure each time: the CI tree must not depend on what an earlier run left.
workflow() {
  rm -rf "build/$1"
  cmake --workflow --preset "$1"
}

release_build() {
  rm -rf build/release
  cmake --preset release && cmake --build --preset release
}

# The fuzz targets are built alone: the rest of the tree is not meant for the fuzzer runtime.
fuzz_tests() {
  rm -rf build/fuzz
  cmake --preset fuzz && cmake --build --preset fuzz && ctest --preset fuzz
}

coverage_run() {
  rm -rf build/coverage
  cmake --workflow --preset coverage
}

# The wineservers of this tree's prefixes, and only those.
stop_wineservers() {
  local prefix
  for prefix in "$ROOT"/build/mingw-x64/wineprefix*/; do
    [ -d "$prefix" ] && WINEPREFIX=${prefix%/} /usr/lib/wine/wineserver -k 2>/dev/null
  done
  return 0
}

windows_tests() {
  stop_wineservers
  rm -rf build/mingw-x64
  cmake --preset mingw-x64 && cmake --build --preset mingw-x64 || return 1
  if ! grep -q '^VELDC_TESTS:BOOL=ON' build/mingw-x64/CMakeCache.txt; then
    echo "no Windows tests configured"
    return 1
  fi
  local rc=0
  ctest --preset mingw-x64 || rc=$?
  stop_wineservers
  return $rc
}

TOTAL_START=$(date +%s)
run_step install install_missing test "${PACKAGES[@]}" || {
  echo "cannot continue without the packages" >&2
  exit 1
}
# The DLL check in dev reads the i686 build, so that comes first.
wanted format && run_step format format_check
wanted mingw-i686 && run_step mingw-i686 workflow mingw-i686
export VELDC_REQUIRE_WINDOWS_DLL=1 VELDC_REQUIRE_LINUX_SIM=1
wanted dev && run_step dev workflow dev
wanted asan && run_step asan workflow asan
wanted release && run_step release release_build
wanted fuzz && run_step fuzz fuzz_tests
wanted coverage && run_step coverage coverage_run
wanted mingw-x64 && run_step mingw-x64 windows_tests
wanted package && run_step package bash scripts/package.sh
TOTAL_END=$(date +%s)

log "summary"
for i in "${!STEP_NAMES[@]}"; do
  printf '  %-12s %-6s %s\n' "${STEP_NAMES[$i]}" "${STEP_TIMES[$i]}" "${STEP_RESULTS[$i]}"
done
# The test counts each ctest reported.
for name in "${STEP_NAMES[@]}"; do
  case $name in dev | asan | fuzz | mingw-x64) ;; *) continue ;; esac
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$LOGS/$name.log" | tail -1)
  printf '  %-12s %s\n' "$name" "${line:-no test result line}"
done
printf '  total        %ss\n' "$((TOTAL_END - TOTAL_START))"
if [ $FAILED -ne 0 ]; then
  echo "RESULT: FAILED"
  exit 1
fi
echo "RESULT: ALL PASSED"
