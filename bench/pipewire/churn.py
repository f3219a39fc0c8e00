#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Device switches during capture: default sink and default source swap between two pairs
SWITCHES times in SECONDS while a 440 Hz tone plays to the default sink and a 1 kHz tone into
both microphones. Reports, over the churn, each stream's samples per second, clicks in
system audio, the microphone's rebuilds and where it ends, and the same figures for
pw-record on the default source (moved by the server alone) as the reference.

Usage: churn.py HARKWELL SWITCHES SECONDS MIC_TONE_WAV   (in a private session with both pairs present)
"""
import os
import subprocess
import sys
import time
import wave

from capture import Capture, clicks, pcm

PAIRS = [("harkwell-test-speaker", "harkwell-test-mic"),
         ("harkwell-churn-speaker2", "harkwell-churn-mic2")]
# 440 Hz at half of full scale steps by at most 2831 between 16 kHz samples.
CLICK_STEP = 4000


def set_default(kind, name):
    subprocess.run(["pw-metadata", "-n", "default", "0", "default.configured.audio." + kind,
                    '{"name":"%s"}' % name, "Spa:String:JSON"], check=True,
                   stdout=subprocess.DEVNULL)


def main():
    harkwell, switches, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    mic_tone, record_path = sys.argv[4], "/tmp/hkw-churn-%d.wav" % time.time_ns()
    # The microphones' tones play from Harkwell's parent, whose sound the tap leaves out, so
    # system audio carries the speaker's tone alone.
    tones = [subprocess.Popen(["pw-play", "--target", target, mic_tone])
             for target in ("harkwell-test-mic-input", "harkwell-churn-mic2-input")]
    recording_from = time.monotonic()
    reference = subprocess.Popen(["pw-record", "--rate", "16000", "--channels", "1",
                                  "--format", "s16", record_path],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cap = Capture(harkwell, keep_samples=True)
    time.sleep(3.0)
    start = time.monotonic()
    system_before = len(cap.samples[3])
    for i in range(switches):
        sink, source = PAIRS[(i + 1) % 2]
        set_default("sink", sink)
        set_default("source", source)
        time.sleep(max(0.0, start + (i + 1) * seconds / switches - time.monotonic()))
    end = time.monotonic()
    system_after = len(cap.samples[3])
    time.sleep(2.0)
    final_source = PAIRS[switches % 2][1]
    reference.terminate()
    reference.wait()
    recording_for = time.monotonic() - recording_from
    for t in tones:
        t.terminate()
    status = cap.finish()

    span = end - start
    mic = cap.samples_between(2, start, end) / span
    system = cap.samples_between(3, start, end) / span
    tone = pcm(cap.samples[3][system_before:system_after])
    if os.environ.get("HKW_CHURN_DUMP"):
        with open(os.environ["HKW_CHURN_DUMP"], "wb") as f:
            f.write(cap.samples[3][system_before:system_after])
    rebuilds = cap.lines("MicCapture reconfigured", start)
    channels = "ch=2" if final_source.endswith("mic2") else "ch=1"
    last_rebuild = rebuilds[-1][1] if rebuilds else "none"
    with wave.open(record_path) as w:
        recorded = w.getnframes() / w.getframerate()
    subprocess.run(["rm", "-f", record_path])

    print("| figure | Harkwell | pw-record on the default source |")
    print("|---|---|---|")
    print("| microphone samples/s during the churn | %.0f | %.0f (whole run) |"
          % (mic, recorded * 16000 / recording_for))
    print("| system audio samples/s during the churn | %.0f | |" % system)
    print("| clicks in system audio (steps > %d) | %d | |" % (CLICK_STEP, clicks(tone, CLICK_STEP)))
    print("| longest wait between microphone frames | %.0f ms | |"
          % (cap.longest_gap(2, start, end) * 1000))
    print("| microphone rebuilds | %d for %d switches | |" % (len(rebuilds), switches))
    print("| microphone's last rebuild (%s expected) | %s | |" % (channels, last_rebuild.strip()))
    print()
    print("%d switches in %.1f s; exit status %d; corrupt frames: %s"
          % (switches, span, status, cap.corrupt or "none"))
    errors = cap.lines("error") + cap.lines("failed")
    for _, line in errors[:10]:
        print("    " + line)


if __name__ == "__main__":
    main()
