#!/usr/bin/env python3
"""The schemas are valid schemas, accept the answers shotsieve gives and
reject answers that break the contract, so a schema that accepts anything fails.

usage: schema_test.py
"""
import copy
import os
import sys

import jsonschema

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import check, finish, SCHEMAS, validate  # noqa: E402

for kind, schema in SCHEMAS.items():
    try:
        jsonschema.Draft202012Validator.check_schema(schema)
        check(f"{kind} is a valid schema", True)
    except jsonschema.SchemaError as error:
        check(f"{kind} is a valid schema", False, error.message)
    check(f"{kind} has an $id, a title and a description",
          all(schema.get(key) for key in ("$id", "title", "description")))

UUID = "40B314D6-141D-5673-93BE-13AAE5A54B73"
RECORD = {"uuid": UUID, "id": UUID + "/L0/001", "created_at": "2026-12-06T09:41:07Z", "modified_at": "",
          "width": 1920, "height": 1080, "is_screenshot": True, "is_favorite": False}
ENTRY = {"uuid": UUID, "date": "2026-12-06T09:41:07Z", "width": 1920, "height": 1080,
         "original_filename": "Screenshot from 2026-12-06 09-41-07.png", "path": "/tmp/shots/" + UUID + ".png",
         "ismissing": False}
MISSING = dict(ENTRY, path="", ismissing=True)
MARKER = {"__truncated": True, "__done": 2, "__total": 5}
REFUSED = {"error": "not-authorized", "status": "denied"}


def without(value, key):
    value = copy.deepcopy(value)
    del value[key]
    return value


good = {
    "auth-status": [{"status": word} for word in
                    ("not-determined", "restricted", "denied", "authorized", "limited", "unknown")],
    "asset-record": [RECORD],
    "list-result": [[], [ENTRY, MISSING], [ENTRY, MISSING, MARKER], [MARKER], REFUSED, {"error": "bad-args"}, {}],
    "today-result": [{"count": 1, "items": [RECORD]}, {"count": 0, "items": []}, REFUSED],
    "watch-line": [{"event": "watching", "baseline_count": 0}, {"event": "screenshot-added", "asset": RECORD},
                   REFUSED],
}
bad = {
    "auth-status": [{}, {"status": "granted"}, {"status": None}, {"status": "denied", "extra": 1}, ["denied"]],
    "asset-record": [without(RECORD, "is_favorite"), dict(RECORD, created_at=None), dict(RECORD, width="1920"),
                     dict(RECORD, width=-1), dict(RECORD, uuid="not-a-uuid"), dict(RECORD, created_at="yesterday"),
                     dict(RECORD, created_at="2026-12-06T09:41:07.5Z"), dict(RECORD, extra=True)],
    "list-result": [[without(ENTRY, "ismissing")], [dict(ENTRY, date=None)], [dict(ENTRY, ismissing="false")],
                    [dict(ENTRY, path="", ismissing=False)], [dict(MISSING, path="/x")], [MARKER, MARKER],
                    [dict(MARKER, __truncated=False)], [ENTRY, without(MARKER, "__total")],
                    {"error": "not-authorized", "status": "authorized"}, {"error": "not-authorized"},
                    {"error": "bad-args", "status": "denied"}, "[]", None],
    "today-result": [{"count": 1}, {"items": []}, {"count": "1", "items": []},
                     {"count": 1, "items": [without(RECORD, "id")]}, {"count": 0, "items": [], "extra": 0}],
    "watch-line": [{"event": "watching"}, {"event": "watching", "baseline_count": -1},
                   {"event": "screenshot-added", "asset": dict(RECORD, modified_at=None)},
                   {"event": "screenshot-removed", "asset": RECORD}, {}],
}
for kind, answers in good.items():
    for answer in answers:
        problems = validate(kind, answer)
        check(f"{kind} accepts {answer!r:.80}", not problems, problems)
for kind, answers in bad.items():
    for answer in answers:
        check(f"{kind} rejects {answer!r:.80}", bool(validate(kind, answer)))
finish()
