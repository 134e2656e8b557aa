# The program's usage errors, authorization answers and bundle information,
# checked from outside on the built program.
# usage: command_line.sh SHOTSIEVE INFO_PLIST
. "$(dirname "$0")/lib.sh"
bin=$(realpath "$1")
plist=$2
new_home

usage='usage: shotsieve {auth-status | request-auth | list <days> <exportDir> | list-today | watch}'
list_usage='usage: shotsieve list <days> <exportDir>'

# run ARGS...: sets OUT, ERR and RC
run() {
  OUT=$("$bin" "$@" 2>"$HOME/err"; echo "rc=$?")
  RC=${OUT##*rc=}
  OUT=${OUT%rc=*}
  ERR=$(cat "$HOME/err"; echo x)
  ERR=${ERR%x}
}

# usage_case EXPECTED_STDERR ARGS...
usage_case() {
  local expected=$1
  shift
  run "$@"
  expect_eq "stderr of [$*]" "$ERR" "$expected"$'\n'
  expect_eq "stdout of [$*]" "$OUT" ""
  expect_eq "status of [$*]" "$RC" 64
}

usage_case "$usage"
usage_case "unknown subcommand: AUTH-STATUS" AUTH-STATUS
usage_case "unknown subcommand: auth-status " "auth-status "
usage_case "unknown subcommand: " ""
usage_case "$list_usage" list
usage_case "$list_usage" list 7
for days in abc "" + " 7" 7.5 1_000 9223372036854775808 -9223372036854775808 -9223372036854775807; do
  usage_case "$list_usage" list "$days" "$HOME/out"
done
usage_case "unknown subcommand: $(printf 'x\xef\xbf\xbdy')" "$(printf 'x\xffy')"
long=$(head -c 100000 /dev/zero | tr '\0' 'a')
usage_case "unknown subcommand: $long" "$long"
usage_case "$list_usage" list "$long" "$HOME/out"

# Authorization, with nothing recorded yet: no prompt, status 0.
run auth-status extra words
expect_eq "auth-status when never asked" "$OUT$RC" '{"status":"not-determined"}'$'\n0'
for pair in denied:denied restricted:restricted limited:limited authorized:authorized 7:unknown garbage:unknown; do
  grant "${pair%%:*}"
  run auth-status
  expect_eq "auth-status for ${pair%%:*}" "$OUT$RC" '{"status":"'"${pair##*:}"'"}'$'\n0'
  printf '%s' "$OUT" >"$HOME/answer" && valid auth-status "$HOME/answer"
done
rm -f "$HOME/.local/state/shotsieve/photo-library-access"
mkdir "$HOME/.local/state/shotsieve/photo-library-access"  # a folder where the file should be
run auth-status
expect_eq "auth-status with an unreadable state" "$OUT" '{"status":"unknown"}'$'\n'
run list 7 "$HOME/out"
expect_eq "list refused while the state is unreadable" "$OUT$RC" '{"error":"not-authorized","status":"unknown"}'$'\n2'
rmdir "$HOME/.local/state/shotsieve/photo-library-access"

# Not determined and not authorized: refused, nothing created.
run list 7 "$HOME/out"
expect_eq "list before access" "$OUT$RC" '{"error":"not-authorized","status":"not-determined"}'$'\n2'
[ -e "$HOME/out" ] && fail "a refused list created the export directory"
run list-today
expect_eq "list-today before access" "$OUT$RC" '{"error":"not-authorized","status":"not-determined"}'$'\n2'
printf '%s' "$OUT" >"$HOME/answer" && valid today-result "$HOME/answer"

# A request with no controlling terminal and no desktop asks nobody and grants
# nothing: not determined, a line on how to decide, nothing recorded.
OUT=$(setsid -w "$bin" request-auth </dev/null 2>"$HOME/err"; echo "rc=$?")
expect_eq "request-auth with nobody to ask" "$OUT" '{"status":"not-determined"}'$'\nrc=0'
case "$(cat "$HOME/err")" in
  "shotsieve: nobody could be asked"*"request-auth in a terminal"*) checks=$((checks + 1)) ;;
  *) fail "no line on how to decide: $(cat "$HOME/err")" ;;
esac
[ -e "$HOME/.local/state/shotsieve/photo-library-access" ] && fail "a request that asked nobody recorded an answer"
grant denied
OUT=$(setsid -w "$bin" request-auth </dev/null)
expect_eq "request-auth when already decided" "$OUT" '{"status":"denied"}'

# In a real terminal the usage text is shown and "n" is recorded as denied.
if command -v script >/dev/null; then
  rm -f "$HOME/.local/state/shotsieve/photo-library-access"
  screen=$( (sleep 1; printf 'n\n') | script -qec "$bin request-auth" /dev/null)
  case "$screen" in
    *'Tessaly 需要读取「照片」图库里的截图,才能帮你分类和整理。图片只在你的电脑本地处理。'*) checks=$((checks + 1)) ;;
    *) fail "the prompt does not show the usage text: $screen" ;;
  esac
  case "$screen" in
    *'{"status":"denied"}'*) checks=$((checks + 1)) ;;
    *) fail "answering n did not deny: $screen" ;;
  esac
  expect_eq "the denial is recorded" "$(cat "$HOME/.local/state/shotsieve/photo-library-access")" denied
else
  echo "skipped the terminal prompt: no script(1) on this machine"
fi

# An answer that cannot be written is a failure with a reason, never a success;
# with standard output closed nothing is done at all.
grant authorized
mkdir -p "$HOME/Pictures/Screenshots"
printf '\x89PNG\r\n\x1a\n' >"$HOME/Pictures/Screenshots/Screenshot from 2026-01-01 10-00-00.png"
for args in auth-status list-today "list 7 $HOME/full-out" watch; do
  # shellcheck disable=SC2086
  "$bin" $args >/dev/full 2>"$HOME/err"
  expect_eq "status of [$args] on a full output" "$?" 74
  expect_eq "reason of [$args] on a full output" "$(cat "$HOME/err")" "shotsieve: cannot write the answer: No space left on device"
  # shellcheck disable=SC2086
  "$bin" $args >&- 2>"$HOME/err"
  expect_eq "status of [$args] with standard output closed" "$?" 74
done
"$bin" list 7 "$HOME/out-closed" >&- 2>/dev/null
[ -e "$HOME/out-closed" ] && fail "a list with standard output closed made its export directory"
rm -rf "$HOME/Pictures" "$HOME/full-out"

# The program carries Info.plist byte for byte; the shared library carries none.
section=$HOME/section
objcopy -O binary --only-section=.info_plist "$bin" "$section"
if cmp -s "$section" "$plist"; then checks=$((checks + 1)); else fail ".info_plist differs from Info.plist"; fi
grep -q '<string>com.tessaly.shotsieve</string>' "$section" || fail "no CFBundleIdentifier"
# ASCII comma after 截图, ideographic full stops, corner brackets.
grep -q "$(printf '\xe6\x88\xaa\xe5\x9b\xbe,')" "$plist" || fail "the comma after 截图 is not ASCII"
expect_eq "ideographic full stops" "$(grep -o '。' "$plist" | wc -l)" 2
expect_eq "keys in order" "$(grep -o '<key>[A-Za-z]*</key>' "$plist" | tr -d '\n')" \
  '<key>CFBundleIdentifier</key><key>CFBundleName</key><key>CFBundleShortVersionString</key><key>CFBundleVersion</key><key>NSPhotoLibraryUsageDescription</key>'

finish
