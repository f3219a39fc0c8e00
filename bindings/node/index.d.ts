// SPDX-License-Identifier: MIT
import { EventEmitter } from 'node:events';

export declare const CONTROL: 1;
export declare const MIC: 2;
export declare const SYSTEM: 3;

export declare class StreamError extends Error {
  offset: number;
}

export interface Frame {
  tag: 1 | 2 | 3;
  payload: Buffer;
  offset: number;
}

export declare class FrameReader {
  feed(chunk: Buffer): void;
  frames(): Generator<Frame, void, void>;
  finish(): void;
}

export declare function samplesOf(payload: Buffer): Int16Array;

export interface ControlMessage {
  type: string;
  msg?: string;
  [key: string]: unknown;
}

export interface ExitStatus {
  code: number | null;
  signal: NodeJS.Signals | null;
}

export interface HarkwellOptions {
  /** The Harkwell program; default $HARKWELL_BINARY, then Harkwell on PATH. */
  binary?: string;
  args?: string[];
}

export declare class Harkwell extends EventEmitter {
  constructor(options?: HarkwellOptions);
  readonly pid: number | undefined;
  stop(timeoutMs?: number): Promise<ExitStatus>;

  on(event: 'mic' | 'system', listener: (samples: Int16Array) => void): this;
  on(event: 'ready', listener: () => void): this;
  on(event: 'error', listener: (message: string) => void): this;
  on(event: 'control', listener: (message: ControlMessage) => void): this;
  on(event: 'stderr', listener: (line: string) => void): this;
  on(event: 'exit', listener: (status: ExitStatus) => void): this;
  on(event: 'streamError', listener: (error: StreamError) => void): this;
}
