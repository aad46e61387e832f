#!/usr/bin/env bash
# Makes the release packages and checks them:
#   build/package/*.deb   libveldc1, libveldc-dev, veldc-tools, python3-veldc (CPack, preset
#                         `package`): lintian without errors, the hardening read back from the
#                         packaged files
#   build/windows-release/VELDC-<version>-win32.zip and -win64.zip (scripts/windows-release.sh),
#                         each checked for the files a Windows host needs and its DLL's hardening
#   the .deb set installed in a clean Debian 12 root (tests/package/deb_root_test.sh; the root
#                         debootstrap makes is kept in build/deb-root/bookworm.tar)
# VELDC_DEB_ROOT=0 skips the clean root (it needs root and the network to Debian's registry).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
step() { printf '\n== %s\n' "$*"; }

step "the .deb set"
rm -rf build/package
cmake --preset package >/dev/null
cmake --build --preset package
cpack --preset package
debs=(build/package/*.deb)
for deb in "${debs[@]}"; do
  dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/  /'
done

step "lintian"
lintian --fail-on error "${debs[@]}" 2>&1 | grep -v 'running with root privileges'
[ "${PIPESTATUS[0]}" -eq 0 ]

step "hardening of the packaged files"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$unpacked"; done
files=("$unpacked"/usr/bin/veldc "$unpacked"/usr/bin/veldc-sim "$unpacked"/usr/lib/*/libveldc.so.1.*
  "$unpacked"/usr/lib/*/veldc/libkov74c.so)
list=$(IFS=';' && echo "${files[*]}")
cmake "-DFILES=$list" -DREADELF=readelf -DFORTIFY=ON -DNO_RUNPATH=ON -DREQUIRE=ON \
  -P cmake/CheckHardening.cmake

step "Windows archives"
bash scripts/windows-release.sh
for zip in build/windows-release/VELDC-*-win32.zip build/windows-release/VELDC-*-win64.zip; do
  want=(VELDC.DLL veldc.h veldc.def lib/libveldc.a README-Windows.txt LICENSE.txt)
  [[ $zip == *win32.zip ]] && want+=(lib/veldc-stdcall.def)
  have=$(cmake -E tar tf "$zip")
  for name in "${want[@]}"; do
    grep -qx "$name" <<<"$have" || { echo "$zip lacks $name"; exit 1; }
  done
done
for arch in x86:i686-w64-mingw32:OFF x64:x86_64-w64-mingw32:ON; do
  IFS=: read -r folder triplet high_entropy <<<"$arch"
  cmake -DFILES="build/windows-release/$folder/VELDC.DLL" -DOBJDUMP="$triplet-objdump" \
    -DNM="$triplet-nm" -DHIGH_ENTROPY="$high_entropy" -DREQUIRE=ON -P cmake/CheckHardening.cmake
done

if [ "${VELDC_DEB_ROOT:-1}" = 1 ]; then
  step "the .deb set in a clean Debian 12 root"
  tests/package/deb_root_test.sh build/deb-root "${debs[@]}"
fi
echo "packages made and checked"
