#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Server restarts during capture: ROUNDS times the server is killed and started again, and
players start with it (a tone into the microphone, another to the speaker). Each round
measures how long after the server was back each stream carried sound, and whether the
microphone carries the microphone's tone and not the speaker's (a monitor is no microphone).

Usage: restarts.py HARKWELL ROUNDS DIR MIC_WAV SPEAKER_WAV   (run from the project root)
"""
import math
import statistics
import subprocess
import sys
import time

sys.path.insert(0, "bench/pipewire")
from capture import Capture, tone_level  # noqa: E402


def sh(command):
    subprocess.run(["bash", "-c", command], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


def db(x):
    return 20 * math.log10(max(x, 1e-9))


def main():
    harkwell, rounds, directory, mic_wav, speaker_wav = sys.argv[1:6]
    rounds = int(rounds)
    cap = Capture(harkwell, keep_samples=True)
    time.sleep(2.0)
    first_status = cap.status()
    tap_back, mic_back, on_source, failures = [], [], 0, []
    for r in range(rounds):
        sh("tools/private-pipewire.sh kill-server %s" % directory)
        sh("pkill -f 'pw-pla[y] .*%s' || true" % directory)
        sh("tools/private-pipewire.sh start %s" % directory)
        back = time.monotonic()
        # Re-parented away from this process (Harkwell leaves its parent's family out).
        sh("setsid bash -c 'pw-play --target harkwell-test-mic-input %s </dev/null >/dev/null "
           "2>&1 & pw-play %s </dev/null >/dev/null 2>&1 &'" % (mic_wav, speaker_wav))
        deadline = back + 3.0
        tap = mic = None
        while time.monotonic() < deadline and (tap is None or mic is None):
            time.sleep(0.02)
            tap = tap or cap.first_loud(3, back)
            mic = mic or cap.first_loud(2, back)
        if tap is None or mic is None:
            failures.append("round %d: %s" % (r + 1, "no system audio" if tap is None
                                               else "no microphone"))
            continue
        tap_back.append(tap - back)
        mic_back.append(mic - back)
        time.sleep(max(0.0, mic + 1.0 - time.monotonic()))
        samples = cap.samples_since(2, mic + 0.4)[:8000]
        wanted, speaker = tone_level(samples, 1000), tone_level(samples, 440)
        if db(wanted) > db(0.5) - 1.0 and db(speaker) < db(wanted) - 60.0:
            on_source += 1
        else:
            failures.append("round %d: microphone at %.1f dBFS of 1 kHz, %.1f dBFS of 440 Hz"
                            % (r + 1, db(wanted), db(speaker)))
    last_status = cap.status()
    status = cap.finish()

    def spread(values):
        if not values:
            return "-"
        return "%.2f / %.2f / %.2f" % (min(values), statistics.median(values), max(values))

    print("| figure | value |")
    print("|---|---|")
    print("| rounds | %d |" % rounds)
    print("| system audio back after the server, s (min / median / max) | %s |" % spread(tap_back))
    print("| microphone back after the server, s (min / median / max) | %s |" % spread(mic_back))
    print("| rounds ending with the microphone on the default source | %d of %d |"
          % (on_source, rounds))
    print("| RSS kB, threads, open files: after start-up / after the last round | %d, %d, %d / "
          "%d, %d, %d |" % (first_status + last_status))
    print()
    print("exit status %d; corrupt frames: %s" % (status, cap.corrupt or "none"))
    for line in failures:
        print("- " + line)


if __name__ == "__main__":
    main()
