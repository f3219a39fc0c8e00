#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages Harkwell needs to build, test and try it out.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang
  libpipewire-0.3-dev libsoxr-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsamplerate0-dev libspeexdsp-dev
  pipewire pipewire-bin wireplumber dbus dbus-user-session
  pipewire-pulse pipewire-alsa pulseaudio-utils alsa-utils
  espeak-ng sox
)

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup-deps: run as root or install sudo" >&2; exit 1; }
  sudo=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "setup-deps: packages installed"
