#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Server restarts during capture on a private PipeWire (see restarts.py): prints a Markdown
# table of the time each stream takes to carry sound again and where the microphone ends.
#
#   bench/pipewire/restarts.sh [--rounds N] [--harkwell PATH]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

rounds=100
harkwell=$root/build/release/Sources/Harkwell/Harkwell
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --harkwell) harkwell=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--harkwell PATH]" >&2; exit 2 ;;
  esac
done
[ -x "$harkwell" ] || { echo "restarts: no Harkwell binary at $harkwell" >&2; exit 1; }
for tool in pw-play sox python3 setsid; do
  command -v $tool >/dev/null || { echo "restarts: $tool is missing" >&2; exit 1; }
done

dir=$(mktemp -d /tmp/hkw-restarts-XXXXXX)
cleanup() {
  pkill -f "pw-pla[y] .*$dir" 2>/dev/null || true
  tools/private-pipewire.sh stop "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
eval "$(tools/private-pipewire.sh start "$dir")"
sox -n -r 48000 -c 1 -b 16 "$dir/mic.wav" synth 4 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 16 "$dir/speaker.wav" synth 4 sine 440 vol 0.5

echo "== restarts: $rounds rounds" >&2
python3 bench/pipewire/restarts.py "$harkwell" "$rounds" "$dir" "$dir/mic.wav" "$dir/speaker.wav"
