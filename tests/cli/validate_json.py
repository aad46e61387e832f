#!/usr/bin/env python3
"""Checks each line of veldc --json output on stdin against the schema named first."""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
errors = [f"line {n}: {e.message}" for n, line in enumerate(sys.stdin, 1)
          for e in jsonschema.Draft202012Validator(schema).iter_errors(json.loads(line))]
print("\n".join(errors))
sys.exit(1 if errors else 0)
