# The C entry points from a host's point of view.
# usage: host.sh HOST LIBSIEVELINK SHOTSIEVE MAKE_LIBRARY BUILD_DIR SANITIZED [TSAN]
. "$(dirname "$0")/../e2e/lib.sh"
host=$(realpath "$1")
lib=$(realpath "$2")
bin=$(realpath "$3")
make_library=$(realpath "$4")
build_dir=$5
sanitized=$6
# ThreadSanitizer's runtime starts threads of its own now and then: there the
# threads are counted and told, not held against the library.
[ "${7:-}" = ON ] && export HOST_THREADS_TOLD_ONLY=1
command -v python3 >/dev/null || { echo "skipped: python3 is needed to read the answers"; exit 77; }
new_home
"$make_library" library "$HOME/Pictures" 120 40 20
grant authorized
mkdir "$HOME/answers"
"$host" "$lib" "$HOME/exports" "$HOME/shared" "$HOME/answers" || fail "the host reported a failure"

expect_eq "pk_auth_status is the auth-status line" "$(cat "$HOME/answers/auth.json")" "$("$bin" auth-status)"
python3 - "$HOME/answers" "$HOME/exports" "$(dirname "$0")/../e2e" <<'PY' || fail "answers"
import json, os, sys
answers, exports = sys.argv[1:3]
sys.path.insert(0, sys.argv[3])
from schemas import validate
parsed = {}
for name in os.listdir(answers):
    with open(os.path.join(answers, name), encoding="utf-8") as f:
        parsed[name[:-5]] = json.loads(f.read())
    kind = "auth-status" if name.startswith(("auth", "request")) else "list-result"
    assert not validate(kind, parsed[name[:-5]]), (name, validate(kind, parsed[name[:-5]]))
full = parsed["network-2"]
assert len(full) > 5 and all(not e["ismissing"] for e in full), full
for name in ("network-minus-1", "network-0", "budget-nan", "budget-inf", "budget-negative"):
    assert parsed[name] == full, name
assert parsed["days-minus-one"] == [] and parsed["days-min"] == []
assert parsed["bad-args"] == {"error": "bad-args"}
assert len(parsed["days-max"]) >= len(full)
assert all(e["ismissing"] for e in parsed["empty-path"])
assert all(e["ismissing"] for e in parsed["huge-path"])
tiny = parsed["budget-tiny"]
assert tiny == [{"__truncated": True, "__done": 0, "__total": len(full)}], tiny
# A name that is not UTF-8 cannot be answered with a path that opens: not used.
assert parsed["non-utf8-path"] and all(e["ismissing"] and e["path"] == "" for e in parsed["non-utf8-path"])
assert not any(name.startswith("odd-") for name in os.listdir(exports))
for entries in parsed.values():
    for e in entries if isinstance(entries, list) else []:
        assert not e.get("path") or os.path.isfile(e["path"]), e
threads = [name for name in parsed if name.startswith("thread-")]
assert len(threads) == 8 * 5, threads
for name in threads:
    assert [e["uuid"] for e in parsed[name]] == [e["uuid"] for e in full], name
PY
for answer in "$HOME"/answers/thread-*.json; do
  python3 "$(dirname "$0")/../e2e/check_listing.py" "$answer" "$HOME/Pictures" "$HOME/shared" \
    >/dev/null || fail "$(basename "$answer"): an entry is missing or its copy differs from the original"
done

# The four entry points are the whole exported surface of both deliverables.
four=$(printf 'pk_auth_status\npk_free\npk_list\npk_request_auth')
expect_eq "library exports" "$(nm -D --defined-only "$lib" | awk '$2 == "T" {sub(/@.*/, "", $3); print $3}' | sort)" "$four"
expect_eq "program exports" "$(nm -D --defined-only "$bin" | awk '$2 == "T" {print $3}' | sort)" "$four"
objdump -h "$lib" | grep -q info_plist && fail "the shared library carries bundle information"

# Installed header and pkg-config file build a host outside the build tree.
if [ "$sanitized" = ON ]; then
  echo "skipped the installed-host build: a sanitized library needs a sanitized host"
elif ! command -v pkg-config >/dev/null; then
  echo "skipped the installed-host build: no pkg-config"
else
  cmake --install "$build_dir" --prefix "$HOME/prefix" >/dev/null || fail "cmake --install"
  mkdir "$HOME/outside"
  cat >"$HOME/outside/host.c" <<'C'
#include <sievelink.h>
#include <stdio.h>
int main(void) {
  char* text = pk_auth_status();
  puts(text ? text : "NULL");
  pk_free(text);
  return 0;
}
C
  export PKG_CONFIG_PATH="$HOME/prefix/lib/pkgconfig:$HOME/prefix/lib/x86_64-linux-gnu/pkgconfig"
  (cd "$HOME/outside" && cc -std=c11 -Wall -Werror host.c $(pkg-config --cflags --libs sievelink) -o host) ||
    fail "a host does not build against the installed library"
  libdir=$(pkg-config --variable=libdir sievelink)
  expect_eq "installed host runs" "$(LD_LIBRARY_PATH="$libdir" "$HOME/outside/host")" '{"status":"authorized"}'
  expect_eq "SONAME" "$(objdump -p "$libdir/libsievelink.so" | awk '/SONAME/ {print $2}')" libsievelink.so.1
  # The same host through the CMake package, from a prefix moved elsewhere.
  mv "$HOME/prefix" "$HOME/moved"
  cat >"$HOME/outside/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(host C)
find_package(sievelink 1 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE sievelink::sievelink)
CMAKE
  if cmake -S "$HOME/outside" -B "$HOME/outside/build" -DCMAKE_PREFIX_PATH="$HOME/moved" >"$HOME/cmake.log" 2>&1 &&
    cmake --build "$HOME/outside/build" >>"$HOME/cmake.log" 2>&1; then
    expect_eq "find_package host runs" "$("$HOME/outside/build/host")" '{"status":"authorized"}'
  else
    fail "a host does not build with find_package(sievelink): $(tail -5 "$HOME/cmake.log")"
  fi
fi
finish
