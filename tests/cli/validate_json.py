#!/usr/bin/env python3
"""Validates each line of veldc --json output on stdin against the schema named first.

Prints one line per object that does not conform and exits 1 if there was any; prints the
commands it saw (sorted, once each) so the caller can check every command was covered."""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
bad = 0
seen = set()
for number, line in enumerate(sys.stdin, 1):
    item = json.loads(line)
    seen.add(item.get("command", "?"))
    for error in validator.iter_errors(item):
        bad += 1
        print(f"line {number}: {error.message} ({item.get('command')})")
print("commands: " + " ".join(sorted(seen)))
sys.exit(1 if bad else 0)
