# SPDX-License-Identifier: MIT
"""Runs Harkwell and reads its standard output for the benchmarks: each frame with its arrival
time, standard error line by line, and Harkwell's resident memory, threads and open files."""
import os
import struct
import subprocess
import threading
import time

TAGS = {1: "control", 2: "mic", 3: "system"}


class Capture:
    def __init__(self, harkwell, keep_samples=False):
        self.proc = subprocess.Popen([harkwell], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.keep_samples = keep_samples
        self.lock = threading.Lock()
        # Per tag: list of (arrival time, sample count), and the samples when kept.
        self.arrivals = {2: [], 3: []}
        self.samples = {2: bytearray(), 3: bytearray()}
        self.frames = {2: [], 3: []}  # (arrival time, payload), when samples are kept
        self.corrupt = []
        self.stderr = []  # (time, line)
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()

    def _read(self):
        out = self.proc.stdout
        while True:
            head = out.read(5)
            if len(head) < 5:
                if head:
                    self.corrupt.append("stream ended inside a header")
                return
            tag, size = head[0], struct.unpack(">I", head[1:])[0]
            payload = out.read(size)
            now = time.monotonic()
            if len(payload) < size or tag not in TAGS or (tag != 1 and size % 2):
                self.corrupt.append("bad frame: tag %d size %d" % (tag, size))
                return
            if tag == 1:
                continue
            with self.lock:
                self.arrivals[tag].append((now, size // 2))
                if self.keep_samples:
                    self.samples[tag] += payload
                    self.frames[tag].append((now, payload))

    def _read_stderr(self):
        for raw in self.proc.stderr:
            with self.lock:
                self.stderr.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))

    def status(self):
        fields = {}
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
        return (int(fields["VmRSS"].split()[0]), int(fields["Threads"]),
                len(os.listdir("/proc/%d/fd" % self.proc.pid)))

    def samples_between(self, tag, start, end):
        """Samples of the frames that arrived in [start, end)."""
        with self.lock:
            return sum(n for t, n in self.arrivals[tag] if start <= t < end)

    def first_loud(self, tag, since, level=8000):
        """Arrival of the first frame after since with a sample louder than level."""
        with self.lock:
            frames = [(t, p) for t, p in self.frames[tag] if t >= since]
        for t, payload in frames:
            if max(map(abs, pcm(payload)), default=0) > level:
                return t
        return None

    def samples_since(self, tag, since):
        with self.lock:
            return pcm(b"".join(p for t, p in self.frames[tag] if t >= since))

    def longest_gap(self, tag, start, end):
        with self.lock:
            times = [t for t, _ in self.arrivals[tag] if start <= t < end]
        return max((b - a for a, b in zip(times, times[1:])), default=float("inf"))

    def lines(self, text, since=0.0):
        with self.lock:
            return [(t, line) for t, line in self.stderr if t >= since and text in line]

    def finish(self, timeout=10):
        self.proc.stdin.close()
        self.proc.wait(timeout=timeout)
        time.sleep(0.2)  # the readers see the end of the streams
        return self.proc.returncode


def pcm(buf):
    """Signed 16-bit samples of a frame payload (little-endian)."""
    return struct.unpack("<%dh" % (len(buf) // 2), bytes(buf[: len(buf) // 2 * 2]))


def tone_level(samples, frequency, rate=16000):
    """Amplitude of one frequency in samples (a single-bin DFT), in full-scale units."""
    import math
    n = len(samples)
    if n == 0:
        return 0.0
    w = 2 * math.pi * frequency / rate
    re = sum(x * math.cos(w * i) for i, x in enumerate(samples))
    im = sum(x * math.sin(w * i) for i, x in enumerate(samples))
    return 2 * math.hypot(re, im) / n / 32768


def clicks(samples, threshold):
    """Steps between consecutive samples larger than threshold."""
    return sum(1 for a, b in zip(samples, samples[1:]) if abs(b - a) > threshold)
