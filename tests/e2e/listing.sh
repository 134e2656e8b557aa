# list end to end over a generated Pictures folder: export, cache reuse,
# pruning, refusal, concurrent runs and a run killed mid-way.
# usage: listing.sh SHOTSIEVE MAKE_LIBRARY
. "$(dirname "$0")/lib.sh"
bin=$(realpath "$1")
make_library=$(realpath "$2")
command -v python3 >/dev/null || { echo "skipped: python3 is needed to read the answers"; exit 77; }
new_home
check="python3 $(dirname "$0")/check_listing.py"
pictures=$HOME/Pictures
out=$HOME/exports
"$make_library" library "$pictures" 400 200 30
# Things named like screenshots that are not images, or lead outside the library.
mkdir -p "$pictures/Screenshots"
echo "meeting notes" >"$pictures/Screenshots/notes.png"
head -c 300 /dev/urandom >"$pictures/Screenshots/Screenshot_$(date +%Y%m%d)_010000.png"
echo "secret-key-material" >"$HOME/id_key"
ln -s "$HOME/id_key" "$pictures/Screenshots/Screenshot from $(date +%F) 01-00-02.png"
ln -s /etc/passwd "$pictures/Screenshots/Screenshot from $(date +%F) 01-00-03.png"
mkfifo "$pictures/Screenshots/Screenshot from $(date +%F) 01-00-04.png"

# Refused: nothing created, status 2.
"$bin" list 7 "$out" >"$HOME/answer"
expect_eq "refused status" "$?" 2
valid list-result "$HOME/answer"
[ -e "$out" ] && fail "a refused run created the export directory"

grant authorized
"$bin" list 7 "$out" >"$HOME/answer"
expect_eq "first run status" "$?" 0
count=$($check "$HOME/answer" "$pictures" "$out") || fail "first run answer"
[ "${count:-0}" -gt 20 ] || fail "expected the screenshots of a week, got ${count:-none}"
expect_eq "one file per entry" "$(ls "$out" | grep -cv '^CACHEDIR.TAG$')" "$count"
grep -q '^Signature: 8a477f597d28d172789f06886806bc55' "$out/CACHEDIR.TAG" || fail "the export directory is not tagged as a cache"
expect_eq "export directory is private" "$(stat -c %a "$out")" 700
expect_eq "exported originals are private" "$(stat -c %a "$out"/* | sort -u)" 600
grep -rqs -e secret-key-material -e 'root:x:' "$out" && fail "a file from outside the library was exported"

# Second run: same answer, nothing rewritten, times refreshed.
first_inodes=$(ls -i "$out" | sort)
touch -d '3 days ago' "$out"/*.png
"$bin" list 7 "$out" >"$HOME/answer2"
cmp -s "$HOME/answer" "$HOME/answer2" || fail "the second answer differs"
expect_eq "nothing rewritten" "$(ls -i "$out" | sort)" "$first_inodes"
expect_eq "times refreshed" "$(find "$out" -type f -name '*.png' -mmin +60 | wc -l)" 0

# Copies unused for 14 days leave; nothing else does, whatever its age.
stale=40B314D6-141D-5673-93BE-13AAE5A54B73
touch -d '15 days ago' "$out/$stale.png" "$out/$stale.png.part"
mkdir -p "$out/kept/inner" && touch "$out/kept/inner/old" && touch -d '20 days ago' "$out/kept/inner/old" "$out/kept"
"$bin" list 1 "$out" >/dev/null
[ -e "$out/$stale.png" ] || [ -e "$out/$stale.png.part" ] && fail "old copies were not pruned"
[ -e "$out/kept/inner/old" ] || fail "a folder was pruned"
rm -rf "$out/kept"

# Two runs at once on a fresh directory both succeed with whole files.
rm -rf "$out"
"$bin" list 7 "$out" >"$HOME/a1" &
"$bin" list 7 "$out" >"$HOME/a2" &
wait %1 || fail "first concurrent run failed"
wait %2 || fail "second concurrent run failed"
$check "$HOME/a1" "$pictures" "$out" >/dev/null || fail "first concurrent answer"
$check "$HOME/a2" "$pictures" "$out" >/dev/null || fail "second concurrent answer"
expect_eq "no temporary files left" "$(ls "$out" | grep -c '\.part$')" 0

# Killed in the middle of its exports: only whole files under final names.
rm -rf "$out"
"$bin" list 30 "$out" >/dev/null &
pid=$!
for _ in $(seq 100); do [ "$(ls "$out" 2>/dev/null | wc -l)" -ge 5 ] && break; sleep 0.01; done
kill -KILL "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
for file in "$out"/*; do
  case "$file" in *.part | */CACHEDIR.TAG) continue ;; esac
  tail -c 12 "$file" | od -An -c | grep -q 'I   E   N   D' || fail "a partial file under a final name: $file"
done
"$bin" list 30 "$out" >"$HOME/answer3"
$check "$HOME/answer3" "$pictures" "$out" >/dev/null || fail "the run after the kill"

# Odd export directories: answers, no crash, nothing written outside.
echo data >"$HOME/a-file"
"$bin" list 7 "$HOME/a-file" >"$HOME/answer4"
expect_eq "a file as export directory" "$?" 0
python3 -c "import json,sys; a=json.load(open(sys.argv[1])); assert a and all(e['ismissing'] for e in a)" "$HOME/answer4" ||
  fail "entries should be missing when the export directory is a file"
expect_eq "the file is untouched" "$(cat "$HOME/a-file")" data
for answer in answer2 answer3 answer4 a1 a2; do valid list-result "$HOME/$answer"; done
(cd "$HOME" && "$bin" list 7 "" >"$HOME/answer5") || fail "empty export directory"
python3 -c "import json,sys; a=json.load(open(sys.argv[1])); assert a and all(e['ismissing'] for e in a)" "$HOME/answer5" ||
  fail "entries should be missing for an empty export directory"
(cd "$HOME" && "$bin" list 7 relative/dir >"$HOME/answer6") || fail "relative export directory"
[ "$(ls "$HOME/relative/dir" | wc -l)" -gt 0 ] || fail "a relative directory is taken from the working directory"

finish
