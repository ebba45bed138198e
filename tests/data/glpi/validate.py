#!/usr/bin/env python3
"""Checks GLPI inventory files (JSON, strict UTF-8) against inventory.schema.json
beside this script, formats included. Prints each violation; exits 1 on any."""
import json
import os
import sys

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))


def main(paths):
    with open(os.path.join(HERE, "inventory.schema.json"), encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft7Validator(schema, format_checker=jsonschema.FormatChecker())
    bad = 0
    for path in paths:
        try:
            with open(path, "rb") as f:
                doc = json.loads(f.read().decode("utf-8"))
        except (OSError, ValueError) as e:
            print(f"{path}: not a JSON document: {e}")
            bad += 1
            continue
        for error in sorted(validator.iter_errors(doc), key=lambda e: list(map(str, e.path))):
            print(f"{path}: /{'/'.join(map(str, error.path))}: {error.message}")
            bad += 1
    return 1 if bad or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
