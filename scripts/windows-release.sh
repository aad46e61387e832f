#!/usr/bin/env bash
# Builds VELDC.DLL for 32-bit and 64-bit Windows, lays them out for hosts and packs each layout
# as a versioned archive:
#   build/windows-release/x86/  VELDC.DLL (stdcall), veldc.h, veldc.def,
#                               lib/libveldc.a and lib/veldc-stdcall.def (import library for
#                               stdcall clients, and the list for MSVC's lib /def:)
#   build/windows-release/x64/  VELDC.DLL (optimised, from build/mingw-x64-release), veldc.h,
#                               veldc.def, lib/libveldc.a
#   both: README-Windows.txt (the README's Windows section) and LICENSE.txt
#   build/windows-release/VELDC-<version>-win32.zip (x86/) and VELDC-<version>-win64.zip (x64/)
# Needs the MinGW-w64 -posix cross compilers (scripts/test.sh installs them).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
OUT=build/windows-release
rm -rf "$OUT"
# The i686 preset is the optimised build; the x64 preset is the Debug build the Windows tests
# run, so the x64 release is built optimised in a tree of its own.
for arch in i686:x86:win32:build/mingw-i686 x64:x64:win64:build/mingw-x64-release; do
  IFS=: read -r preset_arch folder name tree <<<"$arch"
  preset=mingw-$preset_arch
  if [ "$preset" = mingw-i686 ]; then
    cmake --preset "$preset" >/dev/null
    cmake --build "$tree" --target veldc veldc_import_library >/dev/null
  else
    cmake --preset "$preset" -B "$tree" -DCMAKE_BUILD_TYPE=Release -DVELDC_TESTS=OFF >/dev/null
    cmake --build "$tree" --target veldc >/dev/null
  fi
  cmake --install "$tree" --prefix "$OUT/$folder" >/dev/null
  # The README's Windows section, from its heading to the next one of the same level, with
  # Windows line ends for Notepad.
  sed -n '/^### Windows$/,/^### /p' README.md | sed '$d' | sed 's/$/\r/' \
    >"$OUT/$folder/README-Windows.txt"
  sed 's/$/\r/' LICENSE >"$OUT/$folder/LICENSE.txt"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")
  (cd "$OUT/$folder" && cmake -E tar cf "../VELDC-$version-$name.zip" --format=zip -- *)
done
for zip in "$OUT"/*.zip; do
  echo "$zip:"
  cmake -E tar tf "$zip" | sort | sed 's/^/  /'
done
