#!/usr/bin/env bash
# Installs what shotsieve needs to build and test on Debian 12.
set -euo pipefail
sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
sudo_if_needed apt-get update
sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  g++ cmake ninja-build pkg-config libgtest-dev libpng-dev libexiv2-dev libseccomp-dev libsystemd-dev uuid-dev zlib1g-dev \
  binutils bsdutils util-linux procps python3 python3-jsonschema dbus-daemon \
  xvfb xauth scrot imagemagick libheif-examples libavif-bin \
  dpkg-dev fakeroot lintian man-db groff-base \
  clang-14 libfuzzer-14-dev nlohmann-json3-dev inotify-tools fusefat exfat-fuse dosfstools exfatprogs
