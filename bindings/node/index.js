// SPDX-License-Identifier: MIT
// Run Harkwell from Node and read what it captures. No dependencies.
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { existsSync } from 'node:fs';
import { delimiter, join } from 'node:path';

export const CONTROL = 1;
export const MIC = 2;
export const SYSTEM = 3;
const MAX_PAYLOAD = 64 * 1024 * 1024;

export class StreamError extends Error {
  constructor(message, offset) {
    super(message);
    this.name = 'StreamError';
    this.offset = offset;
  }
}

// Splits Harkwell's standard output into frames as chunks arrive.
export class FrameReader {
  #buffer = Buffer.alloc(0);
  #offset = 0; // stream offset of #buffer[0]

  feed(chunk) {
    this.#buffer = this.#buffer.length ? Buffer.concat([this.#buffer, chunk]) : chunk;
  }

  // Complete frames as { tag, payload, offset }; throws StreamError for a broken stream.
  *frames() {
    let start = 0;
    try {
      while (this.#buffer.length - start > 0) {
        const tag = this.#buffer[start];
        const at = this.#offset + start;
        if (tag !== CONTROL && tag !== MIC && tag !== SYSTEM)
          throw new StreamError(`byte 0x${tag.toString(16)} at offset ${at} names no frame tag`, at);
        if (this.#buffer.length - start < 5) break;
        const size = this.#buffer.readUInt32BE(start + 1);
        if (size > MAX_PAYLOAD)
          throw new StreamError(`the frame at offset ${at} announces ${size} bytes`, at);
        if (this.#buffer.length - start < 5 + size) break;
        const payload = this.#buffer.subarray(start + 5, start + 5 + size);
        start += 5 + size;
        yield { tag, payload, offset: at };
      }
    } finally {
      this.#buffer = this.#buffer.subarray(start);
      this.#offset += start;
    }
  }

  // The input has ended: throws StreamError when it ended inside a frame.
  finish() {
    if (this.#buffer.length)
      throw new StreamError(
        `the stream ends inside the frame at offset ${this.#offset} (${this.#buffer.length} bytes left over)`,
        this.#offset);
  }
}

// Samples of a PCM payload, in their own (aligned) memory: a payload may start at any byte
// of Node's buffers, where an Int16Array cannot.
export function samplesOf(payload) {
  const samples = new Int16Array(payload.length >> 1);
  for (let i = 0; i < samples.length; ++i) samples[i] = payload.readInt16LE(2 * i);
  return samples;
}

function findBinary(binary) {
  if (binary) return binary;
  if (process.env.HARKWELL_BINARY) return process.env.HARKWELL_BINARY;
  for (const dir of (process.env.PATH || '').split(delimiter)) {
    const candidate = join(dir, 'Harkwell');
    if (dir && existsSync(candidate)) return candidate;
  }
  throw new Error('Harkwell not found: pass { binary }, set HARKWELL_BINARY, or put it on PATH');
}

// Harkwell as a child process. Events: 'mic' and 'system' (Int16Array, 16 kHz mono), 'ready',
// 'error' (the message; emitted only while someone listens, so that a failed path never
// throws), 'control' (every control message), 'stderr' (each diagnostic line), 'exit'
// ({ code, signal }), and 'streamError' (StreamError) for a corrupt stream.
export class Harkwell extends EventEmitter {
  #child;
  #exited;

  constructor({ binary, args = [] } = {}) {
    super();
    const reader = new FrameReader();
    // detached: its own process group, so that Ctrl-C in a terminal reaches the host first.
    this.#child = spawn(findBinary(binary), args, { stdio: ['pipe', 'pipe', 'pipe'], detached: true });
    this.#child.stdin.on('error', () => {}); // Harkwell gone: nothing to stop any more
    let pending = '';
    this.#child.stderr.setEncoding('utf8');
    this.#child.stderr.on('data', (text) => {
      const lines = (pending + text).split('\n');
      pending = lines.pop();
      for (const line of lines) this.emit('stderr', line);
    });
    this.#child.stdout.on('data', (chunk) => {
      try {
        reader.feed(chunk);
        for (const { tag, payload } of reader.frames()) this.#dispatch(tag, payload);
      } catch (e) {
        if (!(e instanceof StreamError)) throw e;
        this.emit('streamError', e);
        this.#child.stdout.destroy();
      }
    });
    const stdoutEnded = new Promise((resolve) => this.#child.stdout.on('close', resolve));
    const processEnded = new Promise((resolve) =>
      this.#child.on('exit', (code, signal) => resolve({ code, signal })));
    this.#exited = Promise.all([stdoutEnded, processEnded]).then(([, status]) => {
      if (pending) this.emit('stderr', pending);
      try {
        reader.finish();
      } catch (e) {
        this.emit('streamError', e);
      }
      this.emit('exit', status);
      return status;
    });
  }

  get pid() {
    return this.#child.pid;
  }

  #dispatch(tag, payload) {
    if (tag !== CONTROL) {
      this.emit(tag === MIC ? 'mic' : 'system', samplesOf(payload));
      return;
    }
    let message;
    try {
      message = JSON.parse(payload.toString('utf8'));
    } catch {
      message = undefined;
    }
    if (!message || typeof message !== 'object' || typeof message.type !== 'string')
      throw new StreamError('a control frame that is not a control message', 0);
    this.emit('control', message);
    if (message.type === 'ready') this.emit('ready');
    if (message.type === 'error' && this.listenerCount('error') > 0) this.emit('error', message.msg);
  }

  // Closes Harkwell's standard input (the normal stop) and resolves with { code, signal } once
  // it has ended and its output has been read; SIGTERM after `timeoutMs`.
  stop(timeoutMs = 5000) {
    this.#child.stdin.end();
    const timer = setTimeout(() => this.#child.kill('SIGTERM'), timeoutMs);
    return this.#exited.finally(() => clearTimeout(timer));
  }
}
