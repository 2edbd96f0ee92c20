#!/usr/bin/env node
// A parent of qfx_system_audio in Node, as an Electron main process would run it: a small client to copy into an
// application, and a command line.
//
//   record.mjs OUTPUT SECONDS
//
// records the system audio into OUTPUT for SECONDS (or until SIGINT or SIGTERM), then prints one JSON line:
//
//   {"path":"out.m4a","seconds":5.002,"status":0,"file":true,"error":null}
//   {"path":"out.m4a","seconds":null,"status":4,"file":false,"error":{"kind":"start",
//    "message":"No display is available for ScreenCaptureKit audio capture.","cause":"noDisplay"}}
//
// and exits 0 when the recording succeeded, 1 when it did not. "file" says whether a file is left at the path: a
// recording stopped before any audio arrived leaves none. QFX_SYSTEM_AUDIO names the tool; without it the tool is
// looked up on PATH.
//
// In an application:
//
//   const recording = await startRecording('meeting.m4a', { signal, onStreamStopped: showWarning });
//   ...
//   const outcome = await recording.stop();
//
// Every way a recording can go wrong rejects with a RecordingError subclass carrying the tool's own message and
// exit status. Aborting `signal` ends the recording the orderly way (the stop line, or the end of input before
// READY) and lets the tool finish the file; the promises then settle as the tool's exit says.

import { spawn } from 'node:child_process';
import { existsSync, realpathSync, statSync } from 'node:fs';
import { pathToFileURL } from 'node:url';

export const TOOL_NAME = 'qfx_system_audio';
const STOP_REPORT = 'ScreenCaptureKit stopped: ';

// The start messages the tool prints with status 4, by prefix; any other line is the capture service's own text.
const START_CAUSES = [
  ['No display is available', 'noDisplay'],
  ['Unable to create audio writer: ', 'writerCreation'],
  ['Unable to start audio writer: ', 'writerStart'],
  ['Unable to start system audio capture: ', 'streamStart'],
];

/** A recording that did not give a complete file, or that ended early. `message` is the tool's own line (or, for
 * `launch`, the operating system's); `status` its exit status (null when it never ran or a signal ended it). */
export class RecordingError extends Error {
  constructor(message, { status = null, path = null } = {}) {
    super(message);
    this.name = new.target.name;
    this.status = status;
    this.path = path;
  }
  get kind() {
    return 'unexpected';
  }
  toJSON() {
    return { kind: this.kind, message: this.message };
  }
}

/** The tool could not be run at all (not installed, not executable). */
export class LaunchError extends RecordingError {
  get kind() {
    return 'launch';
  }
}

/** Status 2: the tool was called wrongly. A fault in the parent, not something to show the user. */
export class UsageError extends RecordingError {
  get kind() {
    return 'usage';
  }
}

/** Status 4: the recording could not start. `cause` tells the kind apart: noDisplay (nothing to record from; on
 * Linux, no output device), writerCreation (the file cannot be created there), writerStart, streamStart, or service
 * (the capture service's own refusal; on macOS, typically the missing permission). */
export class StartError extends RecordingError {
  constructor(message, options) {
    super(message, options);
    this.cause = START_CAUSES.find(([prefix]) => message.startsWith(prefix))?.[1] ?? 'service';
  }
  get kind() {
    return 'start';
  }
  toJSON() {
    return { ...super.toJSON(), cause: this.cause };
  }
}

/** Status 5: the recording ran, but the file could not be finished (for example, the disk filled up). On Linux the
 * file at the path still holds what was recorded. */
export class FinishError extends RecordingError {
  get kind() {
    return 'finish';
  }
}

/** The capture ended by itself during the recording (the sound server went away, the last output device
 * disappeared, macOS stopped the stream). The tool still exited 0: the file holds what was recorded until then. */
export class StreamStoppedError extends RecordingError {
  get kind() {
    return 'streamStopped';
  }
}

/** Any other ending: an unknown status, or the tool killed by a signal. */
export class UnexpectedExitError extends RecordingError {}

export function findTool() {
  return process.env.QFX_SYSTEM_AUDIO || TOOL_NAME; // spawn looks a bare name up on PATH
}

/** One run of the tool; made by startRecording(). */
export class Recording {
  #child;
  #stderr = '';
  #errors = [];
  #readyAt = null;
  #stoppedAt = null;
  #onStreamStopped;

  constructor(path, child, onStreamStopped) {
    this.path = path;
    /** The stop report, once the capture has ended by itself. */
    this.streamStopped = null;
    this.#child = child;
    this.#onStreamStopped = onStreamStopped;
    // Settles when the tool has exited and both its outputs are read: with the outcome, or the error.
    this.finished = new Promise((resolve, reject) => {
      child.on('close', (code, signal) => {
        this.#stoppedAt ??= performance.now();
        const error = this.#error(code, signal);
        if (error) reject(error);
        else resolve({ path: this.path, seconds: this.seconds, status: code });
      });
    });
    this.finished.catch(() => {}); // whoever awaits it sees the error; nobody awaiting it is no fault
    child.stdin.on('error', () => {}); // EPIPE when it has ended already: its status says why
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (chunk) => this.#takeStderr(chunk));
    child.stderr.on('end', () => this.#takeStderr('\n'));
  }

  /** Seconds from READY to the stop line (so far, while recording); null when it never got READY. */
  get seconds() {
    if (this.#readyAt === null) return null;
    return Math.round((this.#stoppedAt ?? performance.now()) - this.#readyAt) / 1000;
  }

  /** Ends the recording and resolves once the file is finished; rejects if it is not complete. */
  stop() {
    this.#end(true);
    return this.finished;
  }

  #end(sendLine) {
    if (this.#stoppedAt !== null) return;
    this.#stoppedAt = performance.now();
    if (sendLine) this.#child.stdin.write('\n');
    this.#child.stdin.end();
  }

  _ready() {
    this.#readyAt = performance.now();
    if (this.#stoppedAt !== null) this.#stoppedAt = this.#readyAt; // ended before READY: it stops right after it
  }

  _endWithoutLine() {
    this.#end(false);
  }

  #takeStderr(chunk) {
    this.#stderr += chunk;
    let end;
    while ((end = this.#stderr.indexOf('\n')) >= 0) {
      const line = this.#stderr.slice(0, end);
      this.#stderr = this.#stderr.slice(end + 1);
      if (line.startsWith(STOP_REPORT) && this.streamStopped === null) {
        this.streamStopped = line;
        this.#onStreamStopped?.(line);
      } else if (line) {
        this.#errors.push(line);
      }
    }
  }

  #error(code, signal) {
    const options = { status: code, path: this.path };
    let message = this.#errors.at(-1) ?? '';
    if (code === 0 && this.#readyAt !== null) {
      return this.streamStopped ? new StreamStoppedError(this.streamStopped, options) : null;
    }
    if (code === 2) return new UsageError(message, options);
    if (code === 4) return new StartError(message, options);
    if (code === 5) return new FinishError(message, options);
    const how = signal ? `killed by ${signal}` : `exit status ${code}`;
    message = `${TOOL_NAME} ended with ${how}${message ? `: ${message}` : ''}`;
    return new UnexpectedExitError(message, options);
  }
}

/**
 * Starts the tool and resolves with the Recording once it has written READY, or rejects with the error that kept
 * it from starting. Options: `tool` (the executable), `signal` (an AbortSignal that ends the recording),
 * `onStreamStopped(line)` (called when the capture ends by itself while recording).
 */
export function startRecording(path, { tool = findTool(), signal, onStreamStopped } = {}) {
  return new Promise((resolve, reject) => {
    // A process group of its own: a Ctrl-C at a terminal reaches this process, which stops the recording with its
    // line, rather than the tool. Should this process die, the pipe closes and the tool finishes the file.
    const child = spawn(tool, [path], { stdio: ['pipe', 'pipe', 'pipe'], detached: true });
    child.on('error', (error) => {
      reject(new LaunchError(`${tool}: ${error.message}`, { path }));
    });
    if (child.pid === undefined) return; // not started: 'error' follows
    const recording = new Recording(path, child, onStreamStopped);
    const abort = () => recording._endWithoutLine(); // before READY the tool reads the end of input after it
    signal?.addEventListener('abort', abort, { once: true });

    let out = '';
    const onData = (chunk) => {
      out += chunk;
      if (!out.includes('\n')) return;
      child.stdout.off('data', onData);
      child.stdout.resume(); // nothing else ever comes; keep the pipe drained all the same
      if (out === 'READY\n') {
        recording._ready();
        signal?.removeEventListener('abort', abort);
        // The outcome is the caller's, through `finished` or stop().
        const stopOnAbort = () => recording.stop().catch(() => {});
        if (signal?.aborted) stopOnAbort();
        else signal?.addEventListener('abort', stopOnAbort, { once: true });
        resolve(recording);
      } else {
        recording._endWithoutLine();
        recording.finished.then(() => reject(new UnexpectedExitError(`unexpected output: ${out}`)), reject);
      }
    };
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', onData);
    // No READY: the tool has ended with its reason on standard error.
    recording.finished.then(
      () => reject(new UnexpectedExitError(`${TOOL_NAME} ended without READY`, { status: 0, path })),
      reject,
    );
  });
}

async function main(argv) {
  const [path, secondsText] = argv;
  const seconds = Number(secondsText);
  if (argv.length !== 2 || secondsText.trim() === '' || !(seconds >= 0)) {
    process.stderr.write('usage: record.mjs OUTPUT SECONDS\n');
    return 2;
  }
  const controller = new AbortController();
  for (const name of ['SIGINT', 'SIGTERM']) process.on(name, () => controller.abort());
  const report = { path, seconds: null, status: null, file: false, error: null };
  let recording = null;
  try {
    recording = await startRecording(path, {
      signal: controller.signal,
      onStreamStopped: (line) => process.stderr.write(`${line}\n`),
    });
    const timer = Number.isFinite(seconds) ? setTimeout(() => controller.abort(), seconds * 1000) : undefined;
    const outcome = await recording.finished.finally(() => clearTimeout(timer));
    Object.assign(report, { seconds: outcome.seconds, status: outcome.status });
  } catch (error) {
    if (!(error instanceof RecordingError)) throw error;
    Object.assign(report, { seconds: recording?.seconds ?? null, status: error.status, error: error.toJSON() });
  }
  report.file = existsSync(path) && statSync(path).isFile();
  process.stdout.write(`${JSON.stringify(report)}\n`);
  return report.error === null ? 0 : 1;
}

// Run as a program (the module's own path is the real one, symbolic links resolved), not imported.
if (process.argv[1] && import.meta.url === pathToFileURL(realpathSync(process.argv[1])).href) {
  process.exitCode = await main(process.argv.slice(2));
}
