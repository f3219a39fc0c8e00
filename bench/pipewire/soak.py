#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A long capture of both paths while speech plays to the speaker and into the microphone,
with a switch of default speaker and microphone every SWITCH seconds and a server restart
every RESTART seconds (0: never): Harkwell's memory, threads and open files over time, and
each stream's samples against the wall clock.

Usage: soak.py HARKWELL SECONDS INTERVAL SWITCH RESTART DIR SPEAKER_WAV MIC_WAV
(DIR: the private session of tools/private-pipewire.sh, started; run from the project root)
Prints a Markdown table row per interval, then a summary.
"""
import subprocess
import sys
import time

sys.path.insert(0, "bench/pipewire")
from capture import Capture  # noqa: E402

PAIRS = [("harkwell-test-speaker", "harkwell-test-mic", "harkwell-test-mic-input"),
         ("harkwell-soak-speaker2", "harkwell-soak-mic2", "harkwell-soak-mic2-input")]


def sh(command):
    subprocess.run(["bash", "-c", command], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


def detached(command):
    """Runs command re-parented away from this process: Harkwell leaves its parent's family out."""
    sh("setsid bash -c '%s </dev/null >/dev/null 2>&1 &'" % command)


class Session:
    def __init__(self, directory, speaker_wav, mic_wav):
        self.dir, self.speaker_wav, self.mic_wav = directory, speaker_wav, mic_wav
        self.pair = 0

    def devices_and_players(self):
        sh("pw-cli create-node adapter '{ factory.name=support.null-audio-sink "
           "node.name=harkwell-soak-speaker2 media.class=Audio/Sink object.linger=true "
           "audio.position=[FL FR] audio.rate=48000 }'")
        detached("exec pw-loopback -n harkwell-soak-mic2 -c 1 -m [MONO] "
                 "--capture-props=\"media.class=Audio/Sink node.name=harkwell-soak-mic2-input "
                 "audio.position=[MONO]\" --playback-props=\"media.class=Audio/Source "
                 "node.name=harkwell-soak-mic2 audio.position=[MONO]\"")
        sh("for i in $(seq 50); do pw-cli ls Node | grep -q '\"harkwell-soak-mic2-input\"' "
           "&& exit 0; sleep 0.1; done; exit 1")
        detached("exec pw-play %s" % self.speaker_wav)
        for _, _, mic_input in PAIRS:
            detached("exec pw-play --target %s %s" % (mic_input, self.mic_wav))
        self.pair = 0

    def switch(self):
        self.pair = 1 - self.pair
        speaker, mic, _ = PAIRS[self.pair]
        for kind, name in (("sink", speaker), ("source", mic)):
            sh("pw-metadata -n default 0 default.configured.audio.%s '{\"name\":\"%s\"}' "
               "Spa:String:JSON" % (kind, name))

    def restart(self):
        """Kills the server and starts it again; the seconds without a server."""
        down = time.monotonic()
        sh("tools/private-pipewire.sh kill-server %s" % self.dir)
        sh("pkill -f 'pw-pla[y] .*%s' || true; pkill -f 'pw-loopbac[k] -n harkwell-soak' || true"
           % self.dir)
        sh("tools/private-pipewire.sh start %s" % self.dir)
        up = time.monotonic()
        self.devices_and_players()
        return down, up


def main():
    (harkwell, seconds, interval, switch_every, restart_every, directory, speaker_wav,
     mic_wav) = sys.argv[1:9]
    seconds, interval = float(seconds), float(interval)
    switch_every, restart_every = float(switch_every), float(restart_every)
    session = Session(directory, speaker_wav, mic_wav)
    session.devices_and_players()
    time.sleep(1.0)
    cap = Capture(harkwell)
    time.sleep(2.0)
    start = time.monotonic()
    outages = []  # (server killed, server back)
    switches = 0
    events = []  # (time, what)
    for k in range(1, int(seconds / switch_every) + 1):
        events.append((k * switch_every, "switch"))
    if restart_every > 0:
        for k in range(1, int(seconds / restart_every) + 1):
            events.append((k * restart_every - switch_every / 2, "restart"))
    for k in range(1, int(seconds / interval) + 1):
        events.append((k * interval, "row"))
    events.sort()

    print("| minute | RSS kB | threads | open files | mic samples/s | system samples/s | events |")
    print("|---|---|---|---|---|---|---|")
    window_start, window_events = start, []
    for at, what in events:
        if at > seconds:
            break
        time.sleep(max(0.0, start + at - time.monotonic()))
        if what == "switch":
            session.switch()
            switches += 1
            window_events.append("switch")
        elif what == "restart":
            outages.append(session.restart())
            window_events.append("restart (server down %.1f s)"
                                 % (outages[-1][1] - outages[-1][0]))
        else:
            now = time.monotonic()
            rss, threads, fds = cap.status()
            rates = ["%.1f" % (cap.samples_between(t, window_start, now) / (now - window_start))
                     for t in (2, 3)]
            print("| %.1f | %d | %d | %d | %s | %s | %s |"
                  % ((now - start) / 60, rss, threads, fds, *rates, ", ".join(window_events)),
                  flush=True)
            window_start, window_events = now, []
    end = time.monotonic()
    status = cap.finish()

    span = end - start
    down = sum(up - killed for killed, up in outages)
    print()
    for tag, name in ((2, "microphone"), (3, "system audio")):
        n = cap.samples_between(tag, start, end)
        print("- %s: %d samples in %.1f s = %.2f samples/s; with the %.1f s without a server "
              "left out, %.2f samples/s (%+.3f%% of the wall clock); longest wait between "
              "frames %.0f ms" % (name, n, span, n / span, down, n / (span - down),
                                  (n / (span - down) / 16000 - 1) * 100,
                                  cap.longest_gap(tag, start, end) * 1000))
    print("- %d switches, %d server restarts; exit status %d; corrupt frames: %s"
          % (switches, len(outages), status, cap.corrupt or "none"))
    errors = [line for _, line in cap.stderr if "ERROR" in line]
    print("- %d error lines on standard error%s" % (len(errors), ":" if errors else ""))
    for line in errors[:10]:
        print("    " + line)


if __name__ == "__main__":
    main()
