#!/usr/bin/env bash
# Builds host.c against an installed VELDC with CMake's find_package(veldc) and with pkg-config,
# and runs each against a terminal simulated by veldc-sim on a pty.
#   consumer.sh PREFIX WORKDIR     (veldc-sim from PREFIX/bin unless VELDC_SIM names another)
set -euo pipefail
prefix=$1 work=$2
sim=${VELDC_SIM:-$prefix/bin/veldc-sim}
rm -rf "$work"
mkdir -p "$work/src"
cp "$(dirname "${BASH_SOURCE[0]}")/host.c" "$work/src/"
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(host C)' \
  'find_package(veldc 1 REQUIRED)' 'add_executable(host host.c)' \
  'target_link_libraries(host PRIVATE veldc::veldc)' >"$work/src/CMakeLists.txt"
cmake -S "$work/src" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" ||
  { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake"
pc=$(find "$prefix" -name veldc.pc -print -quit)
[ -n "$pc" ] || { echo "no veldc.pc under $prefix"; exit 1; }
export PKG_CONFIG_PATH=${pc%/veldc.pc}
echo "pkg-config --cflags --libs veldc: $(pkg-config --cflags --libs veldc)"
# shellcheck disable=SC2046  # the flags are words
cc "$work/src/host.c" -o "$work/host-pc" $(pkg-config --cflags --libs veldc)
# A staged prefix is not on the loader's path; under /usr this changes nothing.
export LD_LIBRARY_PATH=$(pkg-config --variable=libdir veldc)
coproc SIM { exec "$sim" --direct; }
trap 'kill $SIM_PID 2>/dev/null; wait $SIM_PID 2>/dev/null' EXIT
read -r -t 10 pty <&"${SIM[0]}"  # the simulator names its pty first
for host in "$work/cmake/host" "$work/host-pc"; do
  out=$("$host" "$pty")
  echo "$host: $out"
  [[ $out =~ ^time\ [0-9]{6}$ ]] || { echo "unexpected answer"; exit 1; }
done
