#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Latency of the system-audio path: from the moment a player starts a tone to the first
sample of it on Harkwell's standard output (tapPCM frames) and on pw-record's (monitor of the
default sink, 16 kHz mono s16), both running at once on the same PipeWire.

Usage: latency.py HARKWELL TONE_WAV ROUNDS
Prints one line per round and a final line "median harkwell_ms pwrecord_ms difference_ms".
"""
import os
import statistics
import struct
import subprocess
import sys
import threading
import time

THRESHOLD = 2000  # |sample| above this counts as the tone (it plays at half of full scale)
# pw-record asks for the same node latency as Harkwell's streams (1024 frames at 48 kHz);
# its default, 100 ms, would hold its samples back longer than Harkwell's.
PW_RECORD_LATENCY = "21333us"


class FirstLoud:
    """Remembers when the first loud sample arrives after arm()."""

    def __init__(self):
        self.lock = threading.Lock()
        self.armed_at = None
        self.hit = None

    def arm(self):
        with self.lock:
            self.armed_at = time.monotonic()
            self.hit = None

    def see(self, samples, now):
        with self.lock:
            if self.armed_at is None or self.hit is not None:
                return
            if any(abs(s) > THRESHOLD for s in samples):
                self.hit = now


def read_harkwell(stream, probe):
    buf = b""
    while True:
        chunk = stream.read1(65536)
        if not chunk:
            return
        now = time.monotonic()
        buf += chunk
        while len(buf) >= 5:
            tag = buf[0]
            (n,) = struct.unpack(">I", buf[1:5])
            if len(buf) < 5 + n:
                break
            payload = buf[5:5 + n]
            buf = buf[5 + n:]
            if tag == 3:
                probe.see(struct.unpack("<%dh" % (n // 2), payload), now)


def read_raw(stream, probe):
    odd = b""
    while True:
        chunk = stream.read1(65536)
        if not chunk:
            return
        now = time.monotonic()
        data = odd + chunk
        usable = len(data) - len(data) % 2
        odd = data[usable:]
        probe.see(struct.unpack("<%dh" % (usable // 2), data[:usable]), now)


def main():
    harkwell, tone, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    h = subprocess.Popen([harkwell], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    r = subprocess.Popen(["pw-record", "--target", os.environ["HARKWELL_TEST_SPEAKER"],
                          "-P", "stream.capture.sink=true", "--rate", "16000",
                          "--channels", "1", "--format", "s16", "--latency", PW_RECORD_LATENCY, "-"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    hp, rp = FirstLoud(), FirstLoud()
    threading.Thread(target=read_harkwell, args=(h.stdout, hp), daemon=True).start()
    threading.Thread(target=read_raw, args=(r.stdout, rp), daemon=True).start()
    time.sleep(2.0)
    results = []
    for i in range(rounds):
        hp.arm()
        rp.arm()
        start = time.monotonic()
        # setsid: the player must not descend from Harkwell's parent, or the tap leaves it out.
        subprocess.run(["setsid", "-f", "pw-play", tone], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = start + 3.0
        while time.monotonic() < deadline and (hp.hit is None or rp.hit is None):
            time.sleep(0.005)
        if hp.hit is None or rp.hit is None:
            print("round %d: tone not seen (harkwell=%s pw-record=%s)" % (i, hp.hit, rp.hit))
            continue
        hm, rm = (hp.hit - start) * 1000, (rp.hit - start) * 1000
        results.append((hm, rm))
        print("round %d: harkwell %.1f ms, pw-record %.1f ms" % (i, hm, rm))
        time.sleep(1.5)
    h.stdin.close()
    h.wait(timeout=10)
    r.terminate()
    r.wait(timeout=10)
    if results:
        hm = statistics.median(x[0] for x in results)
        rm = statistics.median(x[1] for x in results)
        print("median %.1f %.1f %.1f" % (hm, rm, hm - rm))


if __name__ == "__main__":
    main()
