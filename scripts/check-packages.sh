#!/usr/bin/env bash
# Checks the packages that scripts/package.sh built: lintian finds no error or
# warning, the manual pages render cleanly, and the unpacked packages give a
# working program and a host that builds both with pkg-config and with
# find_package. On CI (CI=true, as root) they are also installed with dpkg and
# removed again.
set -euo pipefail
cd "$(dirname "$0")/.."
debs=(build-package/shotsieve_*.deb build-package/libsievelink1_*.deb build-package/libsievelink-dev_*.deb)
lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}"
# Listed once: grep -q ending early would break dpkg-deb's pipe under pipefail.
dev_files=$(dpkg -c build-package/libsievelink-dev_*.deb)
for schema in schema/*.schema.json; do
  grep -q "usr/share/shotsieve/$schema\$" <<<"$dev_files" ||
    { echo "the development package lacks $schema" >&2; exit 1; }
done
for page in doc/shotsieve.1 doc/sievelink.3; do
  [ -z "$(groff -ww -z -man "$page" 2>&1)" ] || { echo "groff warns about $page" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/root"; done
export HOME="$work/home"
mkdir -p "$HOME"
unset XDG_CONFIG_HOME XDG_STATE_HOME XDG_CACHE_HOME

check_host() {  # check_host PREFIX [LIBDIR]: a C host built both ways runs
  local prefix=$1 libdir=${2:-}
  mkdir -p "$work/host"
  cat >"$work/host/host.c" <<'C'
#include <sievelink.h>
#include <stdio.h>
int main(void) {
  char* text = pk_auth_status();
  puts(text ? text : "NULL");
  pk_free(text);
  return 0;
}
C
  cat >"$work/host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(host C)
find_package(sievelink 1.0 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE sievelink::sievelink)
CMAKE
  (cd "$work/host" && cc -Wall -Werror host.c $(pkg-config --cflags --libs sievelink) -o pc-host)
  [ "$(LD_LIBRARY_PATH="$libdir" "$work/host/pc-host")" = '{"status":"not-determined"}' ]
  cmake -S "$work/host" -B "$work/host/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/host/build" >/dev/null
  [ "$("$work/host/build/host")" = '{"status":"not-determined"}' ]
  rm -rf "$work/host"
}

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$("$work/root/usr/bin/shotsieve" auth-status)" = '{"status":"not-determined"}' ]
man -l "$work/root/usr/share/man/man1/shotsieve.1.gz" >/dev/null
man -l "$work/root/usr/share/man/man3/sievelink.3.gz" >/dev/null
PKG_CONFIG_PATH="$work/root/usr/lib/$multiarch/pkgconfig" check_host "$work/root/usr" "$work/root/usr/lib/$multiarch"
echo "unpacked packages: program, manual pages and both host builds work"

if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then
  dpkg -i "${debs[@]}" >/dev/null
  [ "$(shotsieve auth-status)" = '{"status":"not-determined"}' ]
  man -w shotsieve >/dev/null && man -w 3 sievelink >/dev/null
  check_host /usr
  dpkg -r libsievelink-dev libsievelink1 shotsieve >/dev/null
  echo "installed packages: program, manual pages and both host builds work"
fi
echo "packages: all checks passed"
