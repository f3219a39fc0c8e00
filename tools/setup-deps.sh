#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages Harkwell needs to build, test and try it out.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format clang-tidy shellcheck
  libpipewire-0.3-dev libsoxr-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsamplerate0-dev libspeexdsp-dev
  pipewire pipewire-bin wireplumber dbus dbus-user-session
  pipewire-pulse pipewire-alsa pulseaudio-utils alsa-utils
  espeak-ng sox
  debhelper dpkg-dev lintian man-db
  python3 nodejs
)

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup-deps: run as root or install sudo" >&2; exit 1; }
  sudo=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
# Another apt (an unattended upgrade, say) may hold the package lock for a while: wait for it
# rather than fail.
apt_options=(-o DPkg::Lock::Timeout=600)
for attempt in 1 2 3; do
  "${sudo[@]}" apt-get "${apt_options[@]}" update -qq && break
  [ "$attempt" = 3 ] && exit 1
  echo "setup-deps: apt-get update failed; trying again in 20 s" >&2
  sleep 20
done
"${sudo[@]}" apt-get "${apt_options[@]}" install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "setup-deps: packages installed"
