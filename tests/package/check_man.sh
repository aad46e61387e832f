#!/usr/bin/env bash
# Renders each manual page given with man -l and fails on any warning groff or man reports.
set -u
rc=0
for page in "$@"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  lines=$(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)
  if [ -n "$warnings" ] || [ "$lines" -lt 20 ]; then
    echo "$page: $lines lines, warnings:"
    echo "$warnings"
    rc=1
  else
    echo "$page: $lines lines, no warnings"
  fi
done
exit $rc
