# watch end to end on a real Pictures folder: the start line arrives at once,
# each complete screenshot gives exactly one line, nothing else does, and the
# process sleeps while nothing happens.
# usage: watch.sh SHOTSIEVE MAKE_LIBRARY
. "$(dirname "$0")/lib.sh"
bin=$(realpath "$1")
make_library=$(realpath "$2")
new_home
shots=$HOME/Pictures/Screenshots
mkdir -p "$shots"
"$make_library" png "$shots/existing.png"

"$bin" watch >"$HOME/refused"
expect_eq "watch before access" "$?$(cat "$HOME/refused")" '2{"error":"not-authorized","status":"not-determined"}'
valid watch-line "$HOME/refused" --lines

grant authorized
mkfifo "$HOME/lines"
"$bin" watch >"$HOME/lines" &
pid=$!
trap 'kill $pid 2>/dev/null; rm -rf "$HOME_DIR"' EXIT
exec 3<"$HOME/lines"
read -r -t 5 start <&3
expect_eq "start line" "$start" '{"event":"watching","baseline_count":1}'
printf '%s\n' "$start" >"$HOME/seen"

# next_line NAME: the next line, or empty after a few seconds; every line is kept in seen
next_line() {
  line=
  read -r -t 5 line <&3
  [ -z "$line" ] || printf '%s\n' "$line" >>"$HOME/seen"
}

"$make_library" png "$HOME/copy-me.png"
cp "$HOME/copy-me.png" "$shots/copied.png"
next_line
case "$line" in
  '{"event":"screenshot-added","asset":{"uuid":"'*'","id":"'*'\/L0\/001","created_at":"'*'Z","modified_at":"'*'Z","width":1920,"height":1080,"is_screenshot":true,"is_favorite":false}}')
    checks=$((checks + 1)) ;;
  *) fail "copied screenshot: $line" ;;
esac

"$make_library" png "$shots/.tmp-save"
mv "$shots/.tmp-save" "$shots/renamed.png"
next_line
case "$line" in *'"event":"screenshot-added"'*) checks=$((checks + 1)) ;; *) fail "renamed screenshot: $line" ;; esac

# Written slowly in three chunks through one descriptor.
size=$(stat -c %s "$HOME/copy-me.png")
third=$((size / 3 + 1))
{
  head -c "$third" "$HOME/copy-me.png"; sleep 0.4
  tail -c +$((third + 1)) "$HOME/copy-me.png" | head -c "$third"; sleep 0.4
  tail -c +$((2 * third + 1)) "$HOME/copy-me.png"
} >"$shots/slow.png"
next_line
case "$line" in *'"event":"screenshot-added"'*) checks=$((checks + 1)) ;; *) fail "slowly written screenshot: $line" ;; esac

mkdir -p "$shots/New Folder"
cp "$HOME/copy-me.png" "$shots/New Folder/inside.png"
next_line
case "$line" in *'"event":"screenshot-added"'*) checks=$((checks + 1)) ;; *) fail "screenshot in a new folder: $line" ;; esac

# A JPEG with data after its end marker, as phones write them: one line, with its size.
"$make_library" jpeg "$HOME/trailer.jpg"
head -c 100 /dev/urandom >>"$HOME/trailer.jpg"
cp "$HOME/trailer.jpg" "$shots/trailer.jpg"
next_line
case "$line" in *'"width":4032,"height":3024'*) checks=$((checks + 1)) ;; *) fail "JPEG with a trailer: $line" ;; esac

# Not screenshots, not images, not inside the library, or not whole: no line.
"$make_library" png "$HOME/Pictures/holiday.png"
head -c 100 "$HOME/copy-me.png" >"$shots/broken.png"
echo "not an image" >"$shots/fake.png"
head -c 300 /dev/urandom >"$shots/Screenshot_20261207_010000.png"
ln -s "$HOME/copy-me.png" "$shots/Screenshot from 2026-12-07 01-00-02.png"
ln -s /etc/passwd "$shots/passwd.png"
next_line
expect_eq "no line for non-screenshots or broken files" "$line" ""

# Asleep while nothing happens: CPU ticks over two idle seconds.
# The process started and its worker, where it confines one.
ticks() { for p in $pid $(pgrep -P $pid); do awk '{print $14 + $15}' "/proc/$p/stat"; done | awk '{s += $1} END {print s}'; }
before=$(ticks)
sleep 2
after=$(ticks)
[ $((after - before)) -le 1 ] || fail "the idle watcher used $((after - before)) ticks of CPU in 2 s"
checks=$((checks + 1))

kill "$pid"
valid watch-line "$HOME/seen" --lines
finish
