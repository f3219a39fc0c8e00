// SPDX-License-Identifier: MIT
// The Node binding: its frame reader, and the real Harkwell ($HARKWELL_BINARY).
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { FrameReader, Harkwell, StreamError, samplesOf } from '../index.js';

const frame = (tag, payload) => {
  const head = Buffer.alloc(5);
  head[0] = tag;
  head.writeUInt32BE(payload.length, 1);
  return Buffer.concat([head, payload]);
};
const READY = Buffer.from('{"type":"ready"}');
const STREAM = Buffer.concat([frame(2, Buffer.from([1, 0, 0xfe, 0xff])), frame(1, READY), frame(3, Buffer.alloc(0))]);

const read = (data, chunk) => {
  const reader = new FrameReader();
  const out = [];
  for (let at = 0; at < data.length; at += chunk) {
    reader.feed(data.subarray(at, at + chunk));
    for (const f of reader.frames()) out.push([f.tag, [...f.payload], f.offset]);
  }
  return { reader, out };
};

test('the same frames however the bytes arrive', () => {
  for (const chunk of [1, 3, 7, STREAM.length]) {
    const { reader, out } = read(STREAM, chunk);
    assert.deepEqual(out, [[2, [1, 0, 0xfe, 0xff], 0], [1, [...READY], 9], [3, [], 30]]);
    reader.finish();
  }
});

test('broken streams say where', () => {
  const cases = [
    [Buffer.concat([frame(2, Buffer.from('ab')), Buffer.from([7, 0, 0, 0, 0])]), 7, false],
    [Buffer.from([3, 0x7f, 0xff, 0xff, 0xff]), 0, false],
    [Buffer.concat([frame(1, READY), Buffer.from([2, 0, 0, 0, 4, 1])]), 21, true],
  ];
  for (const [data, offset, atEnd] of cases) {
    const reader = new FrameReader();
    reader.feed(data);
    assert.throws(() => {
      [...reader.frames()];
      if (atEnd) reader.finish();
    }, (e) => e instanceof StreamError && e.offset === offset);
  }
});

test('samples of a payload at an odd offset are aligned copies', () => {
  const odd = Buffer.from([9, 1, 0, 0xfe, 0xff]).subarray(1);
  assert.deepEqual([...samplesOf(odd)], [1, -2]);
});

const binary = process.env.HARKWELL_BINARY;

test('Harkwell: ready, audio, then status 0 after stop()', { skip: !binary && 'set HARKWELL_BINARY' }, async () => {
  const h = new Harkwell();
  const lines = [];
  let system = 0;
  h.on('stderr', (line) => lines.push(line));
  h.on('system', (samples) => { system += samples.length; });
  h.on('error', () => {}); // no microphone or no server is not a failure here
  await new Promise((resolve) => h.once('ready', resolve));
  await new Promise((resolve) => setTimeout(resolve, 2000));
  const status = await h.stop();
  assert.deepEqual(status, { code: 0, signal: null });
  assert.ok(lines.includes('[velto] shutting down'), lines.join('\n'));
  if (process.env.HARKWELL_EXPECT_AUDIO) assert.ok(system > 16000, `${system} system samples in 2 s`);
});

test('Harkwell: a failed path without an error listener does not throw', { skip: !binary && 'set HARKWELL_BINARY' }, async () => {
  const h = new Harkwell({ binary, args: [] });
  h.on('stderr', () => {});
  const messages = [];
  h.on('control', (m) => messages.push(m.type));
  await new Promise((resolve) => h.once('ready', resolve));
  assert.equal(messages.at(-1), 'ready');
  assert.equal((await h.stop()).code, 0);
});
