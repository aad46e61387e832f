#!/usr/bin/env bash
# The .deb set installed in a clean Debian 12 root: veldc --version, consumer.sh against /usr,
# "import veldc", the ldconfig trigger, the Kov74 stand-in reached only through LD_LIBRARY_PATH.
#   deb_root_test.sh WORKDIR DEB...   (root; the network to VELDC_DEBIAN_MIRROR or Debian's)
# The root debootstrap makes is kept as WORKDIR/bookworm.tar; every run unpacks a fresh copy.
set -euo pipefail
work=$(realpath -m "$1")
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
base=$work/bookworm.tar root=$work/root
mkdir -p "$work"
if [ ! -f "$base" ]; then
  rm -rf "$work/base"
  debootstrap --variant=minbase --include=gcc,libc6-dev,cmake,ninja-build,pkgconf,python3 \
    bookworm "$work/base" "${VELDC_DEBIAN_MIRROR:-http://deb.debian.org/debian}" \
    >"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; exit 1; }
  tar -C "$work/base" -cf "$base.part" . && mv "$base.part" "$base"
  rm -rf "$work/base"
fi

unmount() {
  for m in dev/pts sys proc; do mountpoint -q "$root/$m" && umount -l "$root/$m"; done
  return 0
}
trap unmount EXIT
unmount
rm -rf "$root"
mkdir -p "$root"
tar -C "$root" -xf "$base"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mkdir -p "$root/dev/pts" "$root/tmp/debs" "$root/tmp/consumer"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
ln -sf pts/ptmx "$root/dev/ptmx"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tveldc-test\n' >"$root/etc/hosts"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
cp "$@" "$root/tmp/debs/"
cp "$here/consumer.sh" "$here/host.c" "$root/tmp/consumer/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  /tmp/debs/*.deb' >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
in_root dpkg-query -W libveldc1 libveldc-dev veldc-tools python3-veldc
in_root veldc --version
in_root /tmp/consumer/consumer.sh /usr /tmp/consumer/work
in_root python3 -c 'import veldc; print("veldc", veldc.__version__, veldc.library_version())'
in_root ldconfig -p | grep -F 'libveldc.so.1 ' || { echo "libveldc.so.1 not in the cache"; exit 1; }
in_root ldconfig -p | grep -F libkov74c && { echo "libkov74c on the default path"; exit 1; }
# 10: "KOV74 dll not found" without the path; the stand-in answers with it.
status=0
in_root veldc --link kov74:1 identify >/dev/null 2>&1 || status=$?
[ "$status" -eq 10 ] || { echo "veldc on kov74 without LD_LIBRARY_PATH: exit $status"; exit 1; }
libdir=$(in_root pkg-config --variable=libdir veldc)
in_root env LD_LIBRARY_PATH="$libdir/veldc" veldc --link kov74:1 -a 2 identify
echo "PASS: the .deb set in a clean Debian 12 root"
