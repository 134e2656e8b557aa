# Helpers shared by the end-to-end scripts.
set -u
failures=0
checks=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_eq NAME ACTUAL EXPECTED
expect_eq() {
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    fail "$1"
    printf '  expected: %q\n  actual:   %q\n' "${3:0:300}" "${2:0:300}" >&2
  fi
}

# A temporary HOME with nothing in it, removed on exit.
new_home() {
  HOME_DIR=$(mktemp -d)
  trap 'rm -rf "$HOME_DIR"' EXIT
  export HOME="$HOME_DIR"
  unset XDG_CONFIG_HOME XDG_STATE_HOME XDG_CACHE_HOME
  # No session bus: a request never asks on the desktop of whoever runs the tests.
  unset DBUS_SESSION_BUS_ADDRESS
  export XDG_RUNTIME_DIR="$HOME_DIR/run"
}

grant() {
  mkdir -p "$HOME/.local/state/shotsieve"
  printf '%s\n' "$1" >"$HOME/.local/state/shotsieve/photo-library-access"
}

# valid KIND FILE [--lines]: the answer in FILE (each line of it) matches the schema of its kind
valid() {
  checks=$((checks + 1))
  python3 "$(dirname "${BASH_SOURCE[0]}")/schemas.py" "$1" "$2" ${3:+"$3"} || fail "$2 is not a valid $1"
}

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
