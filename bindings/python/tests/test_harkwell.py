# SPDX-License-Identifier: MIT
"""The Python binding: its frame reader, and the real Harkwell ($HARKWELL_BINARY)."""
import asyncio
import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import harkwell  # noqa: E402


def frame(tag, payload):
    return bytes([tag]) + len(payload).to_bytes(4, "big") + payload


READY = b'{"type":"ready"}'
STREAM = frame(2, b"\x01\x00\xfe\xff") + frame(1, READY) + frame(3, b"")


class FrameReaderTest(unittest.TestCase):
    def read(self, data, chunk):
        reader, out = harkwell.FrameReader(), []
        for at in range(0, len(data), chunk):
            reader.feed(data[at:at + chunk])
            out += list(reader.frames())
        return reader, out

    def test_same_frames_however_the_bytes_arrive(self):
        for chunk in (1, 3, 7, len(STREAM)):
            with self.subTest(chunk=chunk):
                reader, frames = self.read(STREAM, chunk)
                self.assertEqual(frames, [(2, b"\x01\x00\xfe\xff", 0), (1, READY, 9),
                                          (3, b"", 30)])
                reader.finish()

    def test_broken_streams_say_where(self):
        cases = [("unknown tag", frame(2, b"ab") + b"\x07\0\0\0\0", 7, False),
                 ("corrupt length", b"\x03\x7f\xff\xff\xff", 0, False),
                 ("cut frame", frame(1, READY) + b"\x02\0\0\0\x04\x01", 21, True)]
        for name, data, offset, at_end in cases:
            with self.subTest(name):
                reader = harkwell.FrameReader()
                reader.feed(data)
                with self.assertRaises(harkwell.StreamError) as caught:
                    list(reader.frames())
                    if at_end:
                        reader.finish()
                self.assertEqual(caught.exception.offset, offset)

    def test_events_carry_samples_and_messages(self):
        events = [harkwell._event(t, p, o) for t, p, o in harkwell.FrameReader().frames()]
        self.assertEqual(events, [])
        mic = harkwell._event(2, b"\x01\x00\xfe\xff", 0)
        self.assertEqual((mic.kind, list(mic.samples)), ("mic", [1, -2]))
        error = harkwell._event(1, b'{"type":"error","msg":"mic_start: no"}', 0)
        self.assertEqual((error.kind, error.message), ("error", "mic_start: no"))
        self.assertEqual(harkwell._event(1, b'{"type":"later"}', 0).kind, "control")
        with self.assertRaises(harkwell.StreamError):
            harkwell._event(1, b"[1]", 0)


@unittest.skipUnless(os.environ.get("HARKWELL_BINARY"), "set HARKWELL_BINARY to run Harkwell")
class LiveTest(unittest.TestCase):
    def test_ready_then_audio_then_exit_zero_after_stop(self):
        lines = []
        with harkwell.Harkwell(stderr_line=lines.append) as h:
            threading.Timer(2.0, h.stop).start()
            events = list(h)
        kinds = [e.kind for e in events]
        self.assertIn("ready", kinds)
        self.assertEqual(events[-1].kind, "exit")
        self.assertEqual(events[-1].status, 0)
        self.assertIn("[velto] shutting down", lines)
        if os.environ.get("HARKWELL_EXPECT_AUDIO"):
            system = sum(len(e.samples) for e in events if e.kind == "system")
            self.assertGreater(system, 16000, "system audio (silence at least) for 2 s")

    def test_async_iteration_stops_harkwell_when_left(self):
        async def run():
            seen = []
            async for event in harkwell.capture(stderr_line=lambda line: None):
                seen.append(event.kind)
                if event.kind == "ready":
                    break
            return seen

        self.assertEqual(asyncio.run(run())[-1], "ready")


if __name__ == "__main__":
    unittest.main()
