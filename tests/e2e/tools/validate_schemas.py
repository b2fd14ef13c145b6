#!/usr/bin/python3
"""Validates JSON documents against the published NMOS schemas (JSON Schema draft-04).

Usage: validate_schemas.py SCHEMA_ROOT MANIFEST
MANIFEST holds one line per document: "<folder>/<schema file> <document file> <what>", where
folder is a directory under SCHEMA_ROOT (is-04/APIs/schemas, is-05/APIs/schemas). Prints one
line per document that does not validate and exits 1 if any does not; 0 otherwise.
"""
import json
import pathlib
import sys

import jsonschema


def main():
    root = pathlib.Path(sys.argv[1])
    failures = 0
    checked = 0
    for line in pathlib.Path(sys.argv[2]).read_text().splitlines():
        schema_rel, doc_path, what = line.split(" ", 2)
        schema_path = (root / schema_rel).resolve()
        schema = json.loads(schema_path.read_text())
        # The schemas refer to each other by relative $ref: resolve from the schema's folder.
        resolver = jsonschema.RefResolver(schema_path.as_uri(), schema)
        validator = jsonschema.Draft4Validator(schema, resolver=resolver)
        doc = json.loads(pathlib.Path(doc_path).read_text())
        errors = sorted(validator.iter_errors(doc), key=lambda e: list(e.path))
        checked += 1
        for e in errors[:3]:
            failures += 1
            path = "/".join(str(p) for p in e.path)
            print(f"{what}: {schema_rel}: at '{path}': {e.message[:300]}")
    print(f"{checked} documents checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
