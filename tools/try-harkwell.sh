#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Try Harkwell on this machine: install the Debian packages, build Harkwell and harkwell-record,
# record a few seconds of the microphone and of system audio, and print what was captured.
#
#   bash tools/try-harkwell.sh [--seconds N] [--out DIR] [--no-install] [--private]
#
# Where a desktop session already runs PipeWire, it records from it: it speaks one sentence
# through your speakers while you speak into your microphone.
# Where none runs (a server, a container, CI), it starts a private PipeWire with a virtual
# speaker and a virtual microphone, speaks one sentence into the microphone and plays another
# through the speaker, and records that. --private uses the private PipeWire in any case.
# The recording lands in DIR (default: a new ./harkwell-recording-DATE-TIME): mic.wav,
# system.wav, events.jsonl and levels.svg. Run it as yourself; it asks sudo for the package installation only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=6
out=$root/harkwell-recording-$(date +%Y%m%d-%H%M%S)
install=1
private=0
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    --no-install) install=0; shift ;;
    --private) private=1; shift ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "try-harkwell: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

say() { printf '\n== %s\n' "$*"; }

if [ "$install" = 1 ]; then
  say "Installing the Debian packages (apt-get)"
  bash tools/setup-deps.sh
fi

say "Building Harkwell and harkwell-record (release, no tests)"
build=$root/build/try
cmake -G Ninja -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF -DHARKWELL_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" Harkwell harkwell-record
harkwell=$build/Sources/Harkwell/Harkwell
record=$build/tools/harkwell-record/harkwell-record

# Everything this script starts is ended on the way out, whatever happens.
pw_dir=
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # The microphone's player is harkwell-record's descendant, not ours: end it only if that
  # process is still the player.
  if [ -n "$pw_dir" ] && [ -s "$pw_dir/mic-player.pid" ]; then
    pid=$(cat "$pw_dir/mic-player.pid")
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pw-play ] && kill "$pid" 2>/dev/null || true
  fi
  if [ -n "$pw_dir" ]; then
    bash "$root/tools/private-pipewire.sh" stop "$pw_dir" || true
    rm -rf "$pw_dir"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Ctrl-C during the recording stops the recording, the way a host stops Harkwell, and the script
# goes on to the summary: harkwell-record handles the signal itself.
wait_for_record() {
  local rc
  trap ':' INT
  while :; do
    rc=0
    wait "$record_pid" || rc=$?
    kill -0 "$record_pid" 2>/dev/null || break
  done
  trap 'exit 130' INT
  return "$rc"
}

desktop_pipewire() {
  local runtime=${PIPEWIRE_RUNTIME_DIR:-${XDG_RUNTIME_DIR:-/run/user/$(id -u)}}
  [ -S "$runtime/${PIPEWIRE_REMOTE:-pipewire-0}" ] || return 1
  XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/run/user/$(id -u)} timeout 3 pw-cli info 0 >/dev/null 2>&1
}

mic_sentence="This is the microphone. Harkwell hears what you say."
system_sentence="And this is system audio, what your computer plays."

if [ "$private" = 0 ] && desktop_pipewire; then
  export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
  say "Recording $seconds seconds from your desktop's PipeWire: say something into your microphone"
  echo "(your speakers will say one sentence, which system.wav should hold)"
  speech=$(mktemp /tmp/harkwell-try-speech.XXXXXX.wav)
  espeak-ng -w "$speech" "$system_sentence"
  "$record" --harkwell "$harkwell" --seconds "$seconds" --out "$out" &
  record_pid=$!
  pids+=("$record_pid")
  for _ in $(seq 50); do
    grep -q '"ready"' "$out/events.jsonl" 2>/dev/null && break
    kill -0 "$record_pid" 2>/dev/null || break
    sleep 0.1
  done
  pw-play "$speech" & pids+=($!)
  status=0
  wait_for_record || status=$?
  rm -f "$speech"
  echo
  echo "mic.wav holds what your microphone heard; system.wav should say: \"$system_sentence\""
  echo "Listen: pw-play $out/mic.wav; pw-play $out/system.wav"
  exit "$status"
fi

say "No desktop PipeWire here: starting a private one with a virtual speaker and microphone"
pw_dir=$(mktemp -d /tmp/harkwell-try.XXXXXX)
eval "$(bash tools/private-pipewire.sh start "$pw_dir")"

espeak-ng -w "$pw_dir/mic-speech.wav" "$mic_sentence"
espeak-ng -w "$pw_dir/system-speech.wav" "$system_sentence"

say "Recording $seconds seconds: one sentence into the microphone, one through the speaker"
# Harkwell leaves its host's own sound (the host and its descendants) out of system audio, as it
# leaves out a meeting app's own playback. The player that feeds the virtual microphone is made
# a descendant of harkwell-record, so system.wav gets only the speaker's sentence; the player
# for the speaker is not, so system.wav hears it like any other program.
bash -c '
  out=$1 sentence=$2 pidfile=$3; shift 3
  (
    echo "$BASHPID" >"$pidfile"
    for _ in $(seq 50); do grep -q "\"ready\"" "$out/events.jsonl" 2>/dev/null && break; sleep 0.1; done
    exec pw-play --target "$HARKWELL_TEST_MIC_INPUT" "$sentence"
  ) &
  exec "$@"
' try-harkwell "$out" "$pw_dir/mic-speech.wav" "$pw_dir/mic-player.pid" \
  "$record" --harkwell "$harkwell" --seconds "$seconds" --out "$out" --require-sound &
record_pid=$!
pids+=("$record_pid")
# Speak once Harkwell has said it is ready (or after 5 seconds, whichever comes first).
for _ in $(seq 50); do
  grep -q '"ready"' "$out/events.jsonl" 2>/dev/null && break
  kill -0 "$record_pid" 2>/dev/null || break
  sleep 0.1
done
pw-play --target "$HARKWELL_TEST_SPEAKER" "$pw_dir/system-speech.wav" & pids+=($!)

status=0
wait_for_record || status=$?
echo
echo "mic.wav should say:    \"$mic_sentence\""
echo "system.wav should say: \"$system_sentence\""
echo "Listen: play $out/mic.wav; play $out/system.wav   (sox), or copy them to a machine with speakers"
exit "$status"
