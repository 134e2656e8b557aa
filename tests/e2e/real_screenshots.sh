# Real screenshots taken the way Linux users take them, under a virtual X
# display: scrot with its default name in the Pictures folder, and
# ImageMagick's import into Pictures/Screenshots. Both are listed with the
# display's size and the time they were taken, and exported byte for byte.
# usage: real_screenshots.sh SHOTSIEVE
. "$(dirname "$0")/lib.sh"
bin=$(realpath "$1")
for tool in Xvfb scrot import python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
new_home
grant authorized

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$HOME/display" 2>/dev/null &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$HOME_DIR"' EXIT
for _ in $(seq 100); do [ -s "$HOME/display" ] && break; sleep 0.05; done
[ -s "$HOME/display" ] || { echo "skipped: Xvfb did not start"; exit 77; }
export DISPLAY=":$(cat "$HOME/display")"

mkdir -p "$HOME/Pictures/Screenshots"
(cd "$HOME/Pictures" && scrot) || fail "scrot"
import -window root "$HOME/Pictures/Screenshots/import.png" || fail "import"
taken=$(date +%s)

"$bin" list-today >"$HOME/today"
expect_eq "list-today status" "$?" 0
valid today-result "$HOME/today"
python3 - "$HOME/today" "$taken" <<'PY' || fail "list-today answer: $(cat "$HOME/today")"
import datetime, json, sys
answer = json.load(open(sys.argv[1]))
taken = int(sys.argv[2])
assert answer["count"] == 2, answer
for item in answer["items"]:
    assert (item["width"], item["height"]) == (1280, 800), item
    assert item["is_screenshot"] is True, item
    created = datetime.datetime.strptime(item["created_at"], "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
    assert abs(created.timestamp() - taken) < 120, item
PY

"$bin" list 1 "$HOME/exports" >"$HOME/listed"
valid list-result "$HOME/listed"
python3 - "$HOME/listed" "$HOME/Pictures" <<'PY' || fail "list answer: $(cat "$HOME/listed")"
import filecmp, json, os, sys
answer = json.load(open(sys.argv[1]))
assert len(answer) == 2, answer
originals = {name: os.path.join(d, name) for d, _, names in os.walk(sys.argv[2]) for name in names}
for entry in answer:
    assert entry["original_filename"].endswith("_1280x800_scrot.png") or entry["original_filename"] == "import.png", entry
    assert filecmp.cmp(originals[entry["original_filename"]], entry["path"], shallow=False), entry
PY
checks=$((checks + 2))
finish
