#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A long capture on a private PipeWire while speech plays to the speaker and into the
# microphone, with a switch of default speaker and microphone every minute and a server
# restart every ten: Harkwell's memory, threads and open files over time, and each stream's
# samples against the wall clock. Writes bench/pipewire/SOAK.md.
#
#   bench/pipewire/soak.sh [--minutes N] [--switch-every S] [--restart-every S] [--harkwell PATH]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

minutes=60
switch_every=60
restart_every=600
harkwell=$root/build/release/Sources/Harkwell/Harkwell
while [ $# -gt 0 ]; do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --switch-every) switch_every=$2; shift 2 ;;
    --restart-every) restart_every=$2; shift 2 ;;
    --harkwell) harkwell=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N] [--switch-every S] [--restart-every S] [--harkwell PATH]" >&2
       exit 2 ;;
  esac
done
[ -x "$harkwell" ] || { echo "soak: no Harkwell binary at $harkwell (build it, or --harkwell)" >&2; exit 1; }
for tool in pw-play pw-loopback espeak-ng sox python3 setsid; do
  command -v $tool >/dev/null || { echo "soak: $tool is missing" >&2; exit 1; }
done

dir=$(mktemp -d /tmp/hkw-soak-XXXXXX)
cleanup() {
  pkill -f "pw-play .*$dir" 2>/dev/null || true
  pkill -f 'pw-loopback -n harkwell-soak' 2>/dev/null || true
  tools/private-pipewire.sh stop "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
eval "$(tools/private-pipewire.sh start "$dir")"

seconds=$((minutes * 60))
# Each player lasts until the next restart brings a new one.
length=$(( (restart_every > 0 && restart_every < seconds ? restart_every : seconds) + 60 ))
text="The meeting starts at ten. We will go through the budget first, then the plans for
the next quarter, and the questions from last week. Please keep your microphone muted when
you are not speaking, and raise your hand if you want to add something to the list."
espeak-ng -v en-us -s 160 -w "$dir/voice1.wav" "$text"
espeak-ng -v en-gb -s 150 -p 70 -w "$dir/voice2.wav" "$text"
repeat() {  # in out channels
  local one; one=$(soxi -D "$1")
  sox "$1" -r 48000 -c "$3" -b 16 "$2" repeat "$(awk -v l="$length" -v o="$one" 'BEGIN { print int(l / o) + 1 }')"
}
repeat "$dir/voice1.wav" "$dir/speaker.wav" 2
repeat "$dir/voice2.wav" "$dir/mic.wav" 1

interval=$(( seconds >= 600 ? 60 : 30 ))
echo "== soak: $minutes minutes, a switch every $switch_every s, a restart every $restart_every s" >&2
report=$(python3 bench/pipewire/soak.py "$harkwell" "$seconds" "$interval" "$switch_every" \
  "$restart_every" "$dir" "$dir/speaker.wav" "$dir/mic.wav")

cat >bench/pipewire/SOAK.md <<MD
# Harkwell over a long capture

Measured by \`bench/pipewire/soak.sh --minutes $minutes --switch-every $switch_every --restart-every $restart_every\`
on $(date -u +%Y-%m-%d) ($(nproc) cores, PipeWire $(pipewire --version | awk '/Linked/ {print $NF}'),
private session from \`tools/private-pipewire.sh\`): speech (espeak-ng) playing to the default
speaker and into both microphones the whole time; every $switch_every s the default speaker and
microphone switch to the other pair (a second null sink and a second virtual microphone), and
every $restart_every s the server is killed and started again (the players and the second pair
with it). Each row counts the samples of the frames that arrived since the row before, over
that time; 16000 is the nominal rate. A row with a restart loses the time without a server
and the few tenths of a second the streams take to come back; the summary leaves out the
former only.

$report
MD
cat bench/pipewire/SOAK.md
