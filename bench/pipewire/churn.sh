#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Device switches during capture on a private PipeWire (see churn.py): prints a Markdown table
# of what the switches cost each stream, against pw-record moved by the server alone.
#
#   bench/pipewire/churn.sh [--switches N] [--seconds N] [--harkwell PATH]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

switches=100
seconds=60
harkwell=$root/build/release/Sources/Harkwell/Harkwell
while [ $# -gt 0 ]; do
  case $1 in
    --switches) switches=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --harkwell) harkwell=$2; shift 2 ;;
    *) echo "usage: $0 [--switches N] [--seconds N] [--harkwell PATH]" >&2; exit 2 ;;
  esac
done
[ -x "$harkwell" ] || { echo "churn: no Harkwell binary at $harkwell" >&2; exit 1; }
for tool in pw-play pw-record pw-loopback sox python3 setsid; do
  command -v $tool >/dev/null || { echo "churn: $tool is missing" >&2; exit 1; }
done

dir=$(mktemp -d /tmp/hkw-churn-XXXXXX)
cleanup() {
  for f in "$dir"/player-*.pid; do
    [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null || true
  done
  tools/private-pipewire.sh stop "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
eval "$(tools/private-pipewire.sh start "$dir")"

# Players and the second microphone outside this script's family (Harkwell leaves its
# parent's family out).
detached() {  # name command...
  local name=$1; shift
  setsid bash -c 'echo $$ > "$0"; exec "$@"' "$dir/player-$name.pid" "$@" \
    </dev/null >/dev/null 2>&1 &
  disown
}
pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=harkwell-churn-speaker2
  media.class=Audio/Sink object.linger=true audio.position=[FL FR] audio.rate=48000 }' >/dev/null
detached mic2 pw-loopback -n harkwell-churn-mic2 -c 2 -m '[ FL FR ]' \
  --capture-props='media.class=Audio/Sink node.name=harkwell-churn-mic2-input' \
  --playback-props='media.class=Audio/Source node.name=harkwell-churn-mic2'
sleep 1

length=$((seconds + 30))
sox -n -r 48000 -c 2 -b 16 "$dir/speaker.wav" synth $length sine 440 vol 0.5
sox -n -r 48000 -c 1 -b 16 "$dir/mic.wav" synth $length sine 1000 vol 0.5
detached speaker pw-play "$dir/speaker.wav"
sleep 0.5

echo "== churn: $switches switches of speaker and microphone in $seconds s" >&2
cd bench/pipewire
python3 churn.py "$harkwell" "$switches" "$seconds" "$dir/mic.wav"
