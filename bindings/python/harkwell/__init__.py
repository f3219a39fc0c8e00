# SPDX-License-Identifier: MIT
"""Run Harkwell from Python and read what it captures.

    from harkwell import Harkwell
    with Harkwell() as h:
        for event in h:
            if event.kind == "mic":
                feed_transcriber(event.samples)   # array('h'), 16 kHz mono

Standard library only. See the host guide (docs/host-guide.md) for the protocol.
"""
import array
import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
from dataclasses import dataclass, field
from typing import Optional

__all__ = ["Harkwell", "Event", "FrameReader", "StreamError", "capture"]

CONTROL, MIC, SYSTEM = 1, 2, 3
_KINDS = {MIC: "mic", SYSTEM: "system"}
MAX_PAYLOAD = 64 * 1024 * 1024


class StreamError(Exception):
    """The stream is broken: a byte that names no tag, a corrupt length, or a cut frame."""

    def __init__(self, message, offset):
        super().__init__(message)
        self.offset = offset


@dataclass
class Event:
    kind: str  # "mic", "system", "ready", "error", "control", "exit"
    samples: Optional[array.array] = None  # mic, system: signed 16-bit, 16000 Hz, mono
    message: Optional[str] = None  # error: Harkwell's "msg"
    control: Optional[dict] = None  # ready, error, control: the whole message
    status: Optional[int] = None  # exit: the exit status (negative: killed by that signal)
    offset: int = 0  # of the frame in the stream


class FrameReader:
    """Splits Harkwell's standard output into frames as bytes arrive."""

    def __init__(self, max_payload=MAX_PAYLOAD):
        self._buffer = bytearray()
        self._offset = 0  # stream offset of _buffer[0]
        self._max = max_payload

    def feed(self, data):
        self._buffer += data

    def frames(self):
        """Yields (tag, payload, offset) for each complete frame; raises StreamError."""
        start = 0
        try:
            while len(self._buffer) - start > 0:
                tag = self._buffer[start]
                if tag not in (CONTROL, MIC, SYSTEM):
                    raise StreamError("byte 0x%02X at offset %d names no frame tag"
                                      % (tag, self._offset + start), self._offset + start)
                if len(self._buffer) - start < 5:
                    break
                size = int.from_bytes(self._buffer[start + 1:start + 5], "big")
                if size > self._max:
                    raise StreamError("the frame at offset %d announces %d bytes; the length "
                                      "is corrupt" % (self._offset + start, size),
                                      self._offset + start)
                if len(self._buffer) - start < 5 + size:
                    break
                payload = bytes(self._buffer[start + 5:start + 5 + size])
                yield tag, payload, self._offset + start
                start += 5 + size
        finally:
            del self._buffer[:start]
            self._offset += start

    def finish(self):
        """The input has ended: raises StreamError when it ended inside a frame."""
        if self._buffer:
            raise StreamError("the stream ends inside the frame at offset %d (%d bytes left "
                              "over)" % (self._offset, len(self._buffer)), self._offset)


def _event(tag, payload, offset):
    if tag != CONTROL:
        samples = array.array("h")
        samples.frombytes(payload[: len(payload) // 2 * 2])
        if sys.byteorder == "big":
            samples.byteswap()
        return Event(_KINDS[tag], samples=samples, offset=offset)
    try:
        message = json.loads(payload.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        message = None
    if not isinstance(message, dict) or not isinstance(message.get("type"), str):
        raise StreamError("the control frame at offset %d is not a control message" % offset,
                          offset)
    kind = message["type"] if message["type"] in ("ready", "error") else "control"
    return Event(kind, message=message.get("msg"), control=message, offset=offset)


def find_binary(binary=None):
    """The Harkwell program: `binary`, $HARKWELL_BINARY, or Harkwell on PATH."""
    path = binary or os.environ.get("HARKWELL_BINARY") or shutil.which("Harkwell")
    if not path:
        raise FileNotFoundError("Harkwell not found: pass binary=, set HARKWELL_BINARY, or "
                                "put it on PATH")
    return path


def _log_stderr(stream, on_line):
    for raw in stream:
        on_line(raw.decode("utf-8", "replace").rstrip("\n"))


class Harkwell:
    """Harkwell as a child process; iterate over it for events, in stream order.

    stderr_line: called with each diagnostic line (default: written to sys.stderr). Harkwell's
    standard error is always read, so a full pipe never stalls it.
    """

    def __init__(self, binary=None, args=(), stderr_line=None):
        self._reader = FrameReader()
        self._proc = subprocess.Popen(
            [find_binary(binary), *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, start_new_session=True)  # its own group: Ctrl-C is ours
        on_line = stderr_line or (lambda line: print(line, file=sys.stderr))
        self._stderr = threading.Thread(target=_log_stderr, args=(self._proc.stderr, on_line),
                                        daemon=True)
        self._stderr.start()

    @property
    def pid(self):
        return self._proc.pid

    def __iter__(self):
        out = self._proc.stdout
        while True:
            data = out.read1(65536)
            if not data:
                break
            self._reader.feed(data)
            for tag, payload, offset in self._reader.frames():
                yield _event(tag, payload, offset)
        self._reader.finish()
        yield Event("exit", status=self._proc.wait())

    def stop(self, timeout=5.0):
        """Closes Harkwell's standard input, the normal stop; SIGTERM after `timeout` s."""
        try:
            self._proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            return self._proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self._proc.send_signal(signal.SIGTERM)
            return self._proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self._proc.stdout.close()
        self._stderr.join(timeout=2)


async def capture(binary=None, args=(), stderr_line=None):
    """The same events as an async iterator; closing it (or leaving `async for`) stops Harkwell.

        async for event in harkwell.capture():
            ...
    """
    proc = await asyncio.create_subprocess_exec(
        find_binary(binary), *args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, start_new_session=True)
    on_line = stderr_line or (lambda line: print(line, file=sys.stderr))

    async def drain_stderr():
        async for raw in proc.stderr:
            on_line(raw.decode("utf-8", "replace").rstrip("\n"))

    drainer = asyncio.ensure_future(drain_stderr())
    reader = FrameReader()
    try:
        while True:
            data = await proc.stdout.read(65536)
            if not data:
                break
            reader.feed(data)
            for tag, payload, offset in reader.frames():
                yield _event(tag, payload, offset)
        reader.finish()
        yield Event("exit", status=await proc.wait())
    finally:
        if proc.returncode is None:
            proc.stdin.close()
            try:
                await asyncio.wait_for(proc.wait(), 5.0)
            except asyncio.TimeoutError:
                proc.send_signal(signal.SIGTERM)
                await proc.wait()
        await drainer
