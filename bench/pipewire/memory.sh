#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Harkwell's resident memory across server restarts, device switches and graph-rate changes on
# a private PipeWire: after start-up, then after each round of churn. Prints a Markdown table.
#
#   bench/pipewire/memory.sh [--rounds N] [--harkwell PATH]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

rounds=10
harkwell=$root/build/release/Sources/Harkwell/Harkwell
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --harkwell) harkwell=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--harkwell PATH]" >&2; exit 2 ;;
  esac
done
[ -x "$harkwell" ] || { echo "memory: no Harkwell binary at $harkwell" >&2; exit 1; }

dir=$(mktemp -d /tmp/hkw-mem-XXXXXX)
cleanup() {
  [ -n "${hk:-}" ] && kill "$hk" 2>/dev/null || true
  [ -n "${mic2:-}" ] && kill "$mic2" 2>/dev/null || true
  tools/private-pipewire.sh stop "$dir" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
eval "$(tools/private-pipewire.sh start "$dir")"

mkfifo "$dir/stdin"
"$harkwell" <"$dir/stdin" >/dev/null 2>"$dir/harkwell.log" &
hk=$!
exec 3>"$dir/stdin"
sleep 3
rss() { awk '/^VmRSS/ {print $2}' "/proc/$hk/status"; }
start=$(rss)

second_devices() {
  pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=hkw-mem-speaker2
    media.class=Audio/Sink object.linger=true audio.position=[FL FR] audio.rate=48000 }' >/dev/null
  setsid pw-loopback -n hkw-mem-mic2 -c 2 --capture-props='media.class=Audio/Sink node.name=hkw-mem-mic2-in' \
    --playback-props='media.class=Audio/Source node.name=hkw-mem-mic2' </dev/null >/dev/null 2>&1 &
  mic2=$!
  sleep 1
}
set_default() {  # sink|source NAME
  pw-metadata -n default 0 "default.configured.audio.$1" "{\"name\":\"$2\"}" Spa:String:JSON >/dev/null
}

echo "| after | RSS (kB) |"
echo "|---|---|"
echo "| start-up (3 s) | $start |"
for ((r = 1; r <= rounds; r++)); do
  # (Harkwell's standard input, fd 3, must not be inherited by what the session starts.)
  tools/private-pipewire.sh kill-server "$dir" >/dev/null 3>&-
  eval "$(tools/private-pipewire.sh start "$dir" 3>&-)"
  sleep 1.5
  restarted=$(rss)
  second_devices 3>&-
  for _ in 1 2 3; do
    set_default sink hkw-mem-speaker2; set_default source hkw-mem-mic2; sleep 0.7
    set_default sink harkwell-test-speaker; set_default source harkwell-test-mic; sleep 0.7
  done
  switched=$(rss)
  pw-metadata -n settings 0 clock.force-rate 44100 >/dev/null; sleep 1
  pw-metadata -n settings 0 clock.force-rate 0 >/dev/null; sleep 1
  kill "$mic2" 2>/dev/null || true; mic2=
  echo "| restart $r / then 6 switches / then a rate change | $restarted / $switched / $(rss) |"
done
exec 3>&-
wait "$hk" || true
hk=
