#!/usr/bin/env python3
"""Checks answers against the JSON Schemas in schema/.

As a module: validate(kind, answer) returns the list of problems (empty when
the answer is valid); kinds are the schema file names without
".schema.json". As a program: schemas.py KIND FILE checks the JSON text in
FILE, or each line of it with --lines, and exits with 1 on a problem.
Works with Debian's python3-jsonschema (4.10) and newer releases alike.
"""
import json
import os
import sys

import jsonschema

SCHEMA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "schema")


def _schemas():
    found = {}
    for name in sorted(os.listdir(SCHEMA_DIR)):
        if name.endswith(".schema.json"):
            with open(os.path.join(SCHEMA_DIR, name), encoding="utf-8") as f:
                found[name[: -len(".schema.json")]] = json.load(f)
    return found


SCHEMAS = _schemas()


def validator(kind):
    schema = SCHEMAS[kind]
    try:  # jsonschema 4.18 and later resolve references through a registry
        from referencing import Registry, Resource
        registry = Registry().with_resources(
            (s["$id"], Resource.from_contents(s)) for s in SCHEMAS.values())
        return jsonschema.Draft202012Validator(schema, registry=registry)
    except ImportError:
        store = {s["$id"]: s for s in SCHEMAS.values()}
        resolver = jsonschema.RefResolver.from_schema(schema, store=store)
        return jsonschema.Draft202012Validator(schema, resolver=resolver)


_validators = {}


def validate(kind, answer):
    if kind not in _validators:
        _validators[kind] = validator(kind)
    return [f"{'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}"
            for e in _validators[kind].iter_errors(answer)]


def main():
    args = sys.argv[1:]
    lines = "--lines" in args
    kind, path = [a for a in args if a != "--lines"]
    with open(path, encoding="utf-8") as f:
        texts = f.read().splitlines() if lines else [f.read()]
    problems = []
    for text in texts:
        problems += validate(kind, json.loads(text))
    for problem in problems[:20]:
        print(f"{path}: not a valid {kind}: {problem}", file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
