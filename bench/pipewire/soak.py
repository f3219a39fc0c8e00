#!/usr/bin/env python3
"""A long capture of both paths: Harkwell's memory, threads and open files over time, and the
samples of each stream against the wall clock (drift, dropouts).

Usage: soak.py HARKWELL SECONDS INTERVAL
Prints a Markdown table row per interval, then a summary of each stream.
"""
import os
import struct
import subprocess
import sys
import threading
import time

TAGS = {2: "mic", 3: "system"}


def status(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return (int(fields["VmRSS"].split()[0]), int(fields["Threads"]),
            len(os.listdir("/proc/%d/fd" % pid)))


def main():
    harkwell, seconds, interval = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
    h = subprocess.Popen([harkwell], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    lock = threading.Lock()
    counts = {2: 0, 3: 0}
    first = {}
    longest_gap = {2: 0.0, 3: 0.0}
    last = {}
    corrupt = []

    def read():
        out = h.stdout
        while True:
            head = out.read(5)
            if len(head) < 5:
                if head:
                    corrupt.append("truncated header")
                return
            tag, size = head[0], struct.unpack(">I", head[1:])[0]
            payload = out.read(size)
            now = time.monotonic()
            if len(payload) < size or tag not in (1, 2, 3):
                corrupt.append("bad frame at tag %d size %d" % (tag, size))
                return
            if tag in counts:
                with lock:
                    if tag in last:
                        longest_gap[tag] = max(longest_gap[tag], now - last[tag])
                    last[tag] = now
                    if tag not in first:
                        first[tag] = now
                    else:
                        counts[tag] += size // 2

    stderr_lines = []
    threading.Thread(target=read, daemon=True).start()
    threading.Thread(target=lambda: stderr_lines.extend(h.stderr.read().decode().splitlines()),
                     daemon=True).start()
    start = time.monotonic()
    print("| minute | RSS kB | threads | open files | mic samples/s | system samples/s |")
    print("|---|---|---|---|---|---|")
    while True:
        time.sleep(interval)
        now = time.monotonic()
        rss, threads, fds = status(h.pid)
        with lock:
            rates = ["%.1f" % (counts[t] / (last[t] - first[t])) if t in first and last[t] > first[t]
                     else "-" for t in (2, 3)]
        print("| %.1f | %d | %d | %d | %s | %s |" % ((now - start) / 60, rss, threads, fds, *rates),
              flush=True)
        if now - start >= seconds:
            break
    h.stdin.close()
    h.wait(timeout=10)
    print()
    for t in (2, 3):
        if t in first:
            span = last[t] - first[t]
            print("%s: %d samples in %.1f s of arrivals = %.2f samples/s; longest wait between "
                  "frames %.0f ms" % (TAGS[t], counts[t], span, counts[t] / span,
                                      longest_gap[t] * 1000))
    print("exit status %d; corrupt frames: %s" % (h.returncode, corrupt or "none"))
    print("standard error:")
    for line in stderr_lines:
        print("    " + line)


if __name__ == "__main__":
    main()
