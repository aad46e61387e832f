#!/bin/sh
# Runs a test program as on a machine whose own name is in no hosts file (a minimal install,
# many containers): a fresh mount and host-name namespace, an empty /etc/hosts, names looked up
# in files only, and a host name of its own. Exit 77 (skipped) where namespaces cannot be made.
unshare --mount --uts true 2>/dev/null || exit 77
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
: >"$dir/hosts"
echo "hosts: files" >"$dir/nsswitch.conf"
unshare --mount --uts sh -c '
  for f in hosts nsswitch.conf; do
    [ -e "/etc/$f" ] && { mount --bind "$0/$f" "/etc/$f" || exit 1; }
  done
  echo veldc-unnamed >/proc/sys/kernel/hostname || exit 1
  exec "$@"' "$dir" "$@"
