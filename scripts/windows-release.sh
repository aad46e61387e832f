#!/usr/bin/env bash
# Builds VELDC.DLL for 32-bit and 64-bit Windows and lays them out for hosts:
#   build/windows-release/x86/  VELDC.DLL (stdcall), veldc.h, veldc.def,
#                               lib/libveldc.a and lib/veldc-stdcall.def (import library for
#                               stdcall clients, and the list for MSVC's lib /def:)
#   build/windows-release/x64/  VELDC.DLL, veldc.h, veldc.def
# Needs the MinGW-w64 -posix cross compilers (scripts/test.sh installs them).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
OUT=build/windows-release
rm -rf "$OUT"
for arch in i686:x86 x64:x64; do
  preset=mingw-${arch%%:*}
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target veldc $([ "$preset" = mingw-i686 ] &&
    echo veldc_import_library) >/dev/null
  cmake --install "build/$preset" --prefix "$OUT/${arch##*:}" >/dev/null
done
find "$OUT" -type f | sort
