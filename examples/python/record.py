#!/usr/bin/env python3
"""A parent of qfx_system_audio in Python: a small asyncio client to copy into an application, and a command line.

    record.py OUTPUT SECONDS

records the system audio into OUTPUT for SECONDS (or until SIGINT or SIGTERM), then prints one JSON line:

    {"path": "out.m4a", "seconds": 5.002, "status": 0, "file": true, "error": null}
    {"path": "out.m4a", "seconds": null, "status": 4, "file": false, "error": {"kind": "start",
     "message": "No display is available for ScreenCaptureKit audio capture.", "cause": "noDisplay"}}

"file" says whether a file is left at the path: a recording stopped before any audio arrived leaves none.

and exits 0 when the recording succeeded, 1 when it did not. QFX_SYSTEM_AUDIO names the tool; without it the tool
is looked up on PATH.

In an application:

    recording = await Recording.start("meeting.m4a", on_stream_stopped=show_warning)
    ...
    outcome = await recording.stop()        # or: async with Recording.starting(path) as recording: ...

Every way a recording can go wrong is a RecordingError subclass carrying the tool's own message and exit status.
Cancelling the task that awaits start() or stop() ends the recording the orderly way (the stop line, or the end of
input), waits for the tool to finish the file, and then lets the cancellation through.
"""
import asyncio
import json
import os
import shutil
import signal
import sys
import time
from dataclasses import dataclass
from typing import Callable, Optional

TOOL_NAME = "qfx_system_audio"
STOP_REPORT = "ScreenCaptureKit stopped: "

# The start messages the tool prints with status 4, by prefix; any other line is the capture service's own text.
_START_CAUSES = (
    ("No display is available", "noDisplay"),
    ("Unable to create audio writer: ", "writerCreation"),
    ("Unable to start audio writer: ", "writerStart"),
    ("Unable to start system audio capture: ", "streamStart"),
)


class RecordingError(Exception):
    """A recording that did not give a complete file, or that ended early. `message` is the tool's own line (or,
    for `launch`, the operating system's), `status` its exit status (None when it never ran or a signal ended it)."""

    kind = "unexpected"

    def __init__(self, message: str, status: Optional[int] = None, path: Optional[str] = None):
        super().__init__(message)
        self.message = message
        self.status = status
        self.path = path

    def to_json(self) -> dict:
        return {"kind": self.kind, "message": self.message}


class LaunchError(RecordingError):
    """The tool could not be run at all (not installed, not executable)."""

    kind = "launch"


class UsageError(RecordingError):
    """Status 2: the tool was called wrongly. A fault in the parent, not something to show the user."""

    kind = "usage"


class StartError(RecordingError):
    """Status 4: the recording could not start. `cause` tells the kind apart: noDisplay (nothing to record from;
    on Linux, no output device), writerCreation (the file cannot be created there), writerStart, streamStart, or
    service (the capture service's own refusal; on macOS, typically the missing permission)."""

    kind = "start"

    def __init__(self, message: str, status: Optional[int] = None, path: Optional[str] = None):
        super().__init__(message, status, path)
        self.cause = next((cause for prefix, cause in _START_CAUSES if message.startswith(prefix)), "service")

    def to_json(self) -> dict:
        return {**super().to_json(), "cause": self.cause}


class FinishError(RecordingError):
    """Status 5: the recording ran, but the file could not be finished (for example, the disk filled up). On Linux
    the file at the path still holds what was recorded."""

    kind = "finish"


class StreamStoppedError(RecordingError):
    """The capture ended by itself during the recording (the sound server went away, the last output device
    disappeared, macOS stopped the stream). The tool still exited 0: the file holds what was recorded until then."""

    kind = "streamStopped"


class UnexpectedExitError(RecordingError):
    """Any other ending: an unknown status, or the tool killed by a signal."""


@dataclass
class Outcome:
    path: str
    seconds: float  # from READY to the stop line
    status: int


def find_tool() -> Optional[str]:
    return os.environ.get("QFX_SYSTEM_AUDIO") or shutil.which(TOOL_NAME)


class Recording:
    """One run of the tool. Create it with `await Recording.start(...)`."""

    def __init__(self, path: str, child: asyncio.subprocess.Process, on_stream_stopped):
        self.path = path
        self.stream_stopped: Optional[str] = None  # the stop report, once the capture has ended by itself
        self.outcome: Optional[Outcome] = None  # once stopped with a complete file
        self._child = child
        self._on_stream_stopped = on_stream_stopped
        self._errors: list[str] = []
        self._stderr_done = asyncio.ensure_future(self._read_stderr())
        self._ready_at: Optional[float] = None
        self._stopped_at: Optional[float] = None

    @classmethod
    async def start(cls, path: str, tool: Optional[str] = None,
                    on_stream_stopped: Optional[Callable[[str], None]] = None) -> "Recording":
        """Starts the tool and returns once it has written READY, or raises the error that kept it from starting.
        `on_stream_stopped(line)` is called when the capture ends by itself while recording."""
        tool = tool or find_tool()
        if not tool:
            raise LaunchError(f"{TOOL_NAME} was not found: set QFX_SYSTEM_AUDIO or put it on PATH", path=path)
        try:
            # A session of its own: a Ctrl-C at a terminal reaches this process, which stops the recording with its
            # line, rather than the tool. Should this process die, the pipe closes and the tool finishes the file.
            child = await asyncio.create_subprocess_exec(
                tool, path, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE, start_new_session=True)
        except OSError as error:
            raise LaunchError(f"{tool}: {error.strerror or error}", path=path) from error
        recording = cls(path, child, on_stream_stopped)
        try:
            line = await child.stdout.readline()
        except asyncio.CancelledError:
            await _to_the_end(recording._end(send_line=False))
            raise
        if line == b"READY\n":
            recording._ready_at = time.monotonic()
            return recording
        # No READY: the tool has ended, or is about to, with its reason on standard error.
        await recording._end(send_line=False)
        raise recording._error()

    async def stop(self) -> Outcome:
        """Ends the recording and waits until the file is finished; raises if it is not complete."""
        await _to_the_end(self._end(send_line=True))
        error = self._error()
        if error:
            raise error
        self.outcome = Outcome(self.path, self.seconds, self._child.returncode)
        return self.outcome

    @classmethod
    def starting(cls, path: str, **options) -> "_Session":
        """`async with Recording.starting(path) as recording:` stops the recording when the block ends, however
        it ends; the outcome is then in `recording.outcome`."""
        return _Session(path, options)

    @property
    def seconds(self) -> Optional[float]:
        if self._ready_at is None:
            return None
        return round((self._stopped_at or time.monotonic()) - self._ready_at, 3)

    async def _end(self, send_line: bool):
        if self._stopped_at is None:
            self._stopped_at = time.monotonic()
            try:
                if send_line:
                    self._child.stdin.write(b"\n")
                    await self._child.stdin.drain()
                self._child.stdin.close()
            except (BrokenPipeError, ConnectionResetError):
                pass  # it has ended already; its status says why
        await self._child.wait()
        await self._stderr_done

    async def _read_stderr(self):
        async for raw in self._child.stderr:
            line = raw.decode(errors="replace").rstrip("\n")
            if line.startswith(STOP_REPORT) and self.stream_stopped is None:
                self.stream_stopped = line
                if self._on_stream_stopped:
                    self._on_stream_stopped(line)
            elif line:
                self._errors.append(line)

    def _error(self) -> Optional[RecordingError]:
        status = self._child.returncode
        message = self._errors[-1] if self._errors else ""
        if status == 0 and self._ready_at is not None:
            if self.stream_stopped:
                return StreamStoppedError(self.stream_stopped, status, self.path)
            return None
        kind = {2: UsageError, 4: StartError, 5: FinishError}.get(status, UnexpectedExitError)
        if kind is UnexpectedExitError:
            how = f"killed by signal {-status}" if status < 0 else f"exit status {status}"
            message = f"{TOOL_NAME} ended with {how}" + (f": {message}" if message else "")
        return kind(message, status if status >= 0 else None, self.path)


async def _to_the_end(work):
    """Awaits `work` to its end even when the awaiting task is cancelled meanwhile; the cancellation is raised
    afterwards. A recording that is cancelled still gets its file finished."""
    task = asyncio.ensure_future(work)
    cancelled = False
    while not task.done():
        try:
            await asyncio.shield(task)
        except asyncio.CancelledError:
            cancelled = True
    task.result()
    if cancelled:
        raise asyncio.CancelledError


class _Session:
    def __init__(self, path, options):
        self._path, self._options = path, options
        self.recording: Optional[Recording] = None

    async def __aenter__(self) -> Recording:
        self.recording = await Recording.start(self._path, **self._options)
        return self.recording

    async def __aexit__(self, *exc):
        await self.recording.stop()
        return False


async def _main(path: str, seconds: float) -> dict:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    report = {"path": path, "seconds": None, "status": None, "file": False, "error": None}
    recording = None
    try:
        recording = await Recording.start(path, on_stream_stopped=lambda line: print(line, file=sys.stderr))
        try:
            await asyncio.wait_for(stop.wait(), seconds)
        except asyncio.TimeoutError:
            pass
        outcome = await recording.stop()
        report.update(seconds=outcome.seconds, status=outcome.status)
    except RecordingError as error:
        report.update(status=error.status, error=error.to_json())
        if recording:
            report.update(seconds=recording.seconds)
    return report


def main(argv) -> int:
    try:
        path, seconds = argv[1], float(argv[2])
        if len(argv) != 3 or not seconds >= 0:
            raise ValueError
    except (IndexError, ValueError):
        print("usage: record.py OUTPUT SECONDS", file=sys.stderr)
        return 2
    report = asyncio.run(_main(path, seconds))
    report["file"] = os.path.isfile(path)
    print(json.dumps(report), flush=True)
    return 0 if report["error"] is None else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
