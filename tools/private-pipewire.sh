#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A private PipeWire session for tests and demos, with no real sound card.
#
#   tools/private-pipewire.sh start DIR        start it; prints `export` lines to eval
#   tools/private-pipewire.sh stop DIR         end everything that start launched
#   tools/private-pipewire.sh kill-server DIR  kill the PipeWire server (and what dies with it),
#                                              keeping the D-Bus session; `start DIR` again
#                                              brings the server back under the same names
#   tools/private-pipewire.sh mic-off DIR      unplug the virtual microphone (no source is left)
#   tools/private-pipewire.sh mic-on DIR       plug it back in as the default source
#   tools/private-pipewire.sh deafen DIR       leave every current binding of the default
#                                              metadata deaf to its updates: a client goes
#                                              away while WirePlumber has not yet answered
#                                              its binding (the server then passes updates
#                                              only to bindings still waiting for an answer)
#
# Inside DIR: runtime/ (XDG_RUNTIME_DIR), state/ and config/ (WirePlumber's private state),
# *.log and *.pid. The session has a null sink "harkwell-test-speaker" (the default sink, 48 kHz
# stereo) and a virtual microphone: a loopback whose capture side is the sink
# "harkwell-test-mic-input" (play into it) and whose playback side is the source
# "harkwell-test-mic" (the default source, 48 kHz mono). pipewire-pulse serves PulseAudio
# clients (paplay, browsers) on runtime/pulse/native; ALSA clients reach the server through
# pipewire-alsa's default device.
set -euo pipefail

SPEAKER=harkwell-test-speaker
MIC=harkwell-test-mic
MIC_INPUT=harkwell-test-mic-input

die() {
  echo "private-pipewire: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start|stop|kill-server DIR" >&2
  exit 2
}

[[ $# -eq 2 ]] || usage
cmd=$1
dir=$2
[[ -n $dir ]] || usage

pid_alive() { [[ -n ${1:-} ]] && kill -0 "$1" 2>/dev/null; }
read_pid() { [[ -f $dir/$1.pid ]] && cat "$dir/$1.pid" || true; }

# Ends the process recorded as NAME: TERM, then KILL after a second.
end_process() {
  local name=$1 pid
  pid=$(read_pid "$name")
  if pid_alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 20); do pid_alive "$pid" || break; sleep 0.05; done
    pid_alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
    for _ in $(seq 20); do pid_alive "$pid" || break; sleep 0.05; done
  fi
  rm -f "$dir/$name.pid"
}

setup_env() {
  export XDG_RUNTIME_DIR=$dir/runtime
  export PIPEWIRE_RUNTIME_DIR=$dir/runtime
  export XDG_STATE_HOME=$dir/state
  export XDG_CONFIG_HOME=$dir/config
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/runtime/bus
  unset PIPEWIRE_REMOTE PULSE_SERVER
}

show_log() {
  local f=$dir/$1.log
  if [[ -s $f ]]; then
    echo "--- last lines of $f:" >&2
    tail -n 15 "$f" >&2
  fi
}

# Polls SNIPPET (shell code) every 50 ms for up to SECONDS; true once it succeeds.
wait_for() {
  local seconds=$1 snippet=$2 i
  for ((i = 0; i < seconds * 20; i++)); do
    if eval "$snippet" >/dev/null 2>&1; then return 0; fi
    sleep 0.05
  done
  return 1
}

# Starts a background process recorded as NAME with its output in NAME.log.
launch() {
  local name=$1
  shift
  setsid "$@" </dev/null >"$dir/$name.log" 2>&1 &
  echo $! >"$dir/$name.pid"
}

node_exists() { pw-cli ls Node 2>/dev/null | grep -q "node.name = \"$1\""; }

default_is() {
  pw-metadata -n default 0 "$1" 2>/dev/null | grep -q "value:'{\"name\":\"$2\"}'"
}

start_mic() {
  launch loopback pw-loopback -n "$MIC" -c 1 -m '[ MONO ]' \
    --capture-props="media.class=Audio/Sink node.name=$MIC_INPUT node.description=\"Harkwell test mic input\" audio.position=[MONO]" \
    --playback-props="media.class=Audio/Source node.name=$MIC node.description=\"Harkwell test mic\" audio.position=[MONO]"
}

mic_off() {
  setup_env
  end_process loopback
  wait_for 5 "! node_exists $MIC" || die "the microphone did not go"
}

mic_on() {
  setup_env
  pid_alive "$(read_pid loopback)" || start_mic
  wait_for 5 "node_exists $MIC" || { show_log loopback; die "the microphone did not come back"; }
  pw-metadata -n default 0 default.configured.audio.source "{\"name\":\"$MIC\"}" Spa:String:JSON \
    >/dev/null 2>&1 || die "could not set the default source"
  wait_for 5 "default_is default.audio.source $MIC" || die "$MIC did not become the default"
}

deafen() {
  setup_env
  local wp
  wp=$(read_pid wireplumber)
  pid_alive "$wp" || die "wireplumber is not running"
  kill -STOP "$wp"
  timeout 1 pw-metadata -n default >/dev/null 2>&1 || true
  kill -CONT "$wp"
}

start() {
  command -v pipewire >/dev/null || die "pipewire is not installed"
  command -v wireplumber >/dev/null || die "wireplumber is not installed"
  command -v dbus-daemon >/dev/null || die "dbus-daemon is not installed"
  mkdir -p "$dir" || die "cannot create $dir"
  dir=$(cd "$dir" && pwd)
  (( ${#dir} < 80 )) || die "$dir is too long for a socket path"
  mkdir -p "$dir/runtime" "$dir/state" "$dir/config"
  chmod 700 "$dir/runtime"
  setup_env

  if ! pid_alive "$(read_pid dbus)"; then
    rm -f "$dir/runtime/bus"
    dbus-daemon --session --fork --nopidfile --print-pid=3 \
      --address="$DBUS_SESSION_BUS_ADDRESS" </dev/null >"$dir/dbus.log" 2>&1 3>"$dir/dbus.pid" ||
      { show_log dbus; die "dbus-daemon did not start"; }
  fi

  if pid_alive "$(read_pid pipewire)"; then
    die "a PipeWire server of $dir is already running (stop it first)"
  fi
  # Leftovers of a killed server.
  end_process loopback
  end_process pulse
  end_process wireplumber
  rm -f "$dir/runtime/pipewire-0" "$dir/runtime/pipewire-0.lock"

  launch pipewire pipewire
  wait_for 5 "[[ -S '$dir/runtime/pipewire-0' ]] && pw-cli info 0" ||
    { show_log pipewire; die "pipewire did not start"; }

  if command -v pipewire-pulse >/dev/null; then
    end_process pulse
    launch pulse pipewire-pulse
    wait_for 5 "[[ -S '$dir/runtime/pulse/native' ]]" ||
      { show_log pulse; die "pipewire-pulse did not start"; }
  fi

  launch wireplumber wireplumber
  wait_for 5 "pw-metadata -n default 0 2>/dev/null | grep -q 'Found'" ||
    { show_log wireplumber; die "wireplumber did not publish the default metadata"; }

  pw-cli create-node adapter "{ factory.name=support.null-audio-sink node.name=$SPEAKER \
node.description=\"Harkwell test speaker\" media.class=Audio/Sink object.linger=true \
audio.position=[FL FR] audio.rate=48000 }" >"$dir/speaker.log" 2>&1 ||
    { show_log speaker; die "could not create the null sink $SPEAKER"; }

  start_mic
  wait_for 5 "node_exists $SPEAKER && node_exists $MIC && node_exists $MIC_INPUT" ||
    { show_log loopback; die "the test nodes did not appear"; }

  pw-metadata -n default 0 default.configured.audio.sink "{\"name\":\"$SPEAKER\"}" Spa:String:JSON \
    >/dev/null 2>&1 || die "could not set the default sink"
  pw-metadata -n default 0 default.configured.audio.source "{\"name\":\"$MIC\"}" Spa:String:JSON \
    >/dev/null 2>&1 || die "could not set the default source"
  wait_for 5 "default_is default.audio.sink $SPEAKER && default_is default.audio.source $MIC" ||
    { show_log wireplumber; die "WirePlumber did not make $SPEAKER and $MIC the defaults"; }

  cat <<EOF
export XDG_RUNTIME_DIR='$dir/runtime'
export PIPEWIRE_RUNTIME_DIR='$dir/runtime'
export DBUS_SESSION_BUS_ADDRESS='$DBUS_SESSION_BUS_ADDRESS'
export HARKWELL_TEST_SPEAKER='$SPEAKER'
export HARKWELL_TEST_MIC='$MIC'
export HARKWELL_TEST_MIC_INPUT='$MIC_INPUT'
EOF
}

kill_server() {
  [[ -d $dir ]] || die "$dir does not exist"
  local pid
  pid=$(read_pid pipewire)
  if pid_alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
    for _ in $(seq 40); do pid_alive "$pid" || break; sleep 0.05; done
  fi
  rm -f "$dir/pipewire.pid"
  end_process loopback
  end_process pulse
  end_process wireplumber
}

stop() {
  [[ -d $dir ]] || return 0
  end_process loopback
  end_process pulse
  end_process wireplumber
  end_process pipewire
  end_process dbus
  rm -rf "$dir/runtime"
}

case $cmd in
  start) start ;;
  stop) stop ;;
  kill-server) kill_server ;;
  mic-off) mic_off ;;
  mic-on) mic_on ;;
  deafen) deafen ;;
  *) usage ;;
esac
