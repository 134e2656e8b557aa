"""Checks a list answer against the Pictures folder it came from.

usage: check_listing.py ANSWER_FILE PICTURES_DIR EXPORT_DIR
Prints the number of entries; fails when an entry is malformed, missing, out
of order, or its exported file differs from the original by a single byte.
"""
import filecmp
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from schemas import validate  # noqa: E402

answer_file, pictures, export_dir = sys.argv[1:4]
with open(answer_file, encoding="utf-8") as f:
    answer = json.loads(f.read())
assert not validate("list-result", answer), validate("list-result", answer)
assert isinstance(answer, list), answer
originals = {}
for folder, _, names in os.walk(pictures):
    for name in names:
        originals[name] = os.path.join(folder, name)
dates = []
for entry in answer:
    assert set(entry) == {"uuid", "date", "width", "height", "original_filename", "path", "ismissing"}, entry
    assert entry["ismissing"] is False, entry
    assert entry["path"] == os.path.join(export_dir, entry["uuid"] + ".png"), entry
    original = originals[entry["original_filename"]]
    assert filecmp.cmp(original, entry["path"], shallow=False), entry
    dates.append(entry["date"])
assert dates == sorted(dates, reverse=True), "not newest first"
# Only complete files under final names: every final name is an exported original.
for name in os.listdir(export_dir):
    if not name.endswith(".part") and name != "CACHEDIR.TAG":
        uuid = name[: -len(".png")]
        assert any(e["uuid"] == uuid for e in answer) or os.path.getsize(os.path.join(export_dir, name)) > 0, name
print(len(answer))
