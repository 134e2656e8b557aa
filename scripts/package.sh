#!/usr/bin/env bash
# Builds the Debian packages shotsieve, libsievelink1 and libsievelink-dev
# into build-package/ with Debian's own build flags.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"  # CMake reads no CPPFLAGS
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DSHOTSIEVE_TESTS=OFF \
  -DSHOTSIEVE_WERROR=ON
cmake --build build-package -j2
(cd build-package && cpack -G DEB)
ls build-package/*.deb
