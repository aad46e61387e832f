#!/usr/bin/env bash
# Renders each manual page given with man -l and fails on any warning groff or man reports.
rc=0
for page in "$@"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  lines=$(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)
  echo "$page: $lines lines, warnings: ${warnings:-none}"
  [ -z "$warnings" ] && [ "$lines" -ge 20 ] || rc=1
done
exit $rc
