#!/usr/bin/env bash
# A long capture on a private PipeWire while a tone plays into each path: Harkwell's memory,
# threads and open files over time, and each stream's samples against the wall clock. Writes
# bench/pipewire/SOAK.md.
#
#   bench/pipewire/soak.sh [--minutes N] [--harkwell PATH]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

minutes=10
harkwell=$root/build/release/Sources/Harkwell/Harkwell
while [ $# -gt 0 ]; do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --harkwell) harkwell=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N] [--harkwell PATH]" >&2; exit 2 ;;
  esac
done
[ -x "$harkwell" ] || { echo "soak: no Harkwell binary at $harkwell (build it, or --harkwell)" >&2; exit 1; }
for tool in pw-play sox python3 setsid; do
  command -v $tool >/dev/null || { echo "soak: $tool is missing" >&2; exit 1; }
done

dir=$(mktemp -d /tmp/hkw-soak-XXXXXX)
cleanup() {
  for f in "$dir"/player-*.pid; do
    [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null || true
  done
  tools/private-pipewire.sh stop "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
eval "$(tools/private-pipewire.sh start "$dir")"

seconds=$((minutes * 60))
sox -n -r 48000 -c 2 -b 16 "$dir/speaker.wav" synth $((seconds + 30)) sine 440 vol 0.5
sox -n -r 48000 -c 1 -b 16 "$dir/mic.wav" synth $((seconds + 30)) sine 1000 vol 0.5
# Players outside this script's family (Harkwell leaves its parent's family out).
play_detached() {  # name args...
  local name=$1; shift
  setsid bash -c 'echo $$ > "$0"; exec pw-play "$@"' "$dir/player-$name.pid" "$@" \
    </dev/null >/dev/null 2>&1 &
  disown
}
play_detached speaker "$dir/speaker.wav"
play_detached mic --target "$HARKWELL_TEST_MIC_INPUT" "$dir/mic.wav"
sleep 0.5

interval=$(( seconds >= 600 ? 60 : 30 ))
echo "== soak: $minutes minutes" >&2
report=$(python3 bench/pipewire/soak.py "$harkwell" "$seconds" "$interval")

cat >bench/pipewire/SOAK.md <<MD
# Harkwell over a long capture

Measured by \`bench/pipewire/soak.sh --minutes $minutes\` on $(date -u +%Y-%m-%d) ($(nproc) cores,
PipeWire $(pipewire --version | awk '/Linked/ {print $NF}'), private session from
\`tools/private-pipewire.sh\`), with a 440 Hz tone playing to the speaker and a 1 kHz tone into
the microphone the whole time. Samples per second count every sample after each stream's
first frame, over the time from that frame to the last one seen; 16000 is the nominal rate.
The microphone's frames carry 100 ms each and the converter holds back up to 40 ms, so its
figure can fall short by that much over the span (about 13 samples/s over one minute, under
1 over thirty).

$report
MD
cat bench/pipewire/SOAK.md
