"""Every way a recording ends or is disturbed, as one table: the parent's line, the end of input, each stop signal,
a parent that stops reading the tool's output or error, descriptors closed at start, a server that goes away, one
that hangs at the stop, and a disk that stalls. Each row checks the exit status, the one line (or none) on standard
error, and that the file decodes without errors and holds what was recorded, on the clock. Last, the recordings
that cannot start: the parent hears why, in time, and finds no file."""
import contextlib
import dataclasses
import os
import pathlib
import signal
import time
from typing import Callable, Optional

import pytest

from harness import (TOLERANCE, MonitorListener, Player, SoundServer, Tool, decode, duration, figure, holes, levels,
                     tone)

SHIM = os.environ.get("QFX_STALL_SHIM")
RECORDED = 2.5  # seconds recorded before the ending
STALL = 20.0  # seconds a stalled disk holds the tool's writes
PROMPT = 2.0  # seconds from the stop to the exit, whatever the server or the disk did before


def broken_pipe_on(*fds):
    """In the child: the descriptors lead into a pipe nobody reads, as when the parent closed its end."""
    def arrange():
        read_end, write_end = os.pipe()
        for fd in fds:
            os.dup2(write_end, fd)
        os.close(read_end)
        os.close(write_end)
    return arrange


def closed(*fds):
    """In the child: the descriptors are closed when the tool starts (`2>&-`)."""
    def arrange():
        for fd in fds:
            os.close(fd)
    return arrange


@dataclasses.dataclass
class Ending:
    """What a row did and when: the moment the file's audio should end, and the moment the tool was told to stop."""
    audio_end: float
    stop_at: float
    # How much earlier than audio_end the file may end: a server that dies or hangs loses what it had not sent yet.
    early: float = TOLERANCE
    reported: str = ""  # standard error before the stop


def line(tool, server):
    tool.send("stop")
    return Ending(tool.stop_at, tool.stop_at)


def end_of_input(tool, server):
    tool.send(None)
    return Ending(tool.stop_at, tool.stop_at)


def by_signal(number):
    def send(tool, server):
        at = time.monotonic()
        tool.child.send_signal(number)
        return Ending(at, at)
    return send


def server_gone(tool, server):
    server.signal(signal.SIGKILL)
    killed_at = time.monotonic()
    time.sleep(1.5)  # the tool reports it (where it can) and goes on waiting for its line
    assert tool.child.poll() is None, "the tool died with its server"
    reported = tool.stderr
    tool.send("stop")
    return Ending(killed_at, tool.stop_at, early=0.5, reported=reported)


def server_hung_at_stop(tool, server):
    server.signal(signal.SIGSTOP)
    hung_at = time.monotonic()
    tool.send("stop")
    return Ending(hung_at, tool.stop_at, early=0.5)


def disk_stalled(tool, server):
    """Holds the tool's writes for STALL seconds, recording the tool's memory meanwhile, then stops at once."""
    stalled_at = time.monotonic()
    flag = pathlib.Path(server.dir, "stall")
    flag.write_text("stalled")
    resident = []
    while time.monotonic() < stalled_at + STALL:
        time.sleep(0.5)
        with open(f"/proc/{tool.child.pid}/status") as status:
            kib = next(int(row.split()[1]) for row in status if row.startswith("VmRSS:"))
        resident.append((time.monotonic() - stalled_at, kib))
    flag.unlink()
    time.sleep(1.5)  # the tone goes on into the file once the writer has caught up
    tool.send("stop")
    # The writer blocks at its next write (a 64 KiB buffer: up to 3 s later); the queue then fills for 3 s.
    settled = [kib for at, kib in resident if at >= 8]
    figure(f"resident memory during a {STALL:.0f} s stalled write: {resident[0][1] / 1024:.1f} MiB at first, "
           f"{max(settled) / 1024:.1f} MiB at most from 8 s on, {resident[-1][1] / 1024:.1f} MiB at the end")
    # Unbounded, the waiting audio alone would grow by 0.38 MiB a second.
    assert max(settled) - min(settled) < 2.5 * 1024, resident
    return Ending(tool.stop_at, tool.stop_at)


@dataclasses.dataclass
class Case:
    name: str
    end: Callable
    child: Optional[Callable] = None  # runs in the child before the tool starts
    own_server: bool = False  # the row kills or stops its server
    sees_ready: bool = True  # False when the tool's standard output does not reach the test
    report: Optional[str] = None  # the start of the one line expected on standard error, else none


CASES = [
    Case("a line", line),
    Case("end of input", end_of_input),
    Case("SIGINT", by_signal(signal.SIGINT)),
    Case("SIGTERM", by_signal(signal.SIGTERM)),
    Case("SIGHUP", by_signal(signal.SIGHUP)),
    Case("standard output closed by the parent", line, child=broken_pipe_on(1), sees_ready=False),
    Case("standard error closed by the parent, then the server gone", server_gone, child=broken_pipe_on(2),
         own_server=True),
    Case("standard output and error closed at start, then the server gone", server_gone, child=closed(1, 2),
         own_server=True, sees_ready=False),
    Case("the server gone", server_gone, own_server=True, report="ScreenCaptureKit stopped: "),
    Case("the server hung at the stop", server_hung_at_stop, own_server=True),
    Case("a stalled write", disk_stalled),
]


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_every_ending_leaves_a_complete_file(request, tmp_path, case):
    stalls = case.end is disk_stalled
    if stalls and not SHIM:
        pytest.skip("QFX_STALL_SHIM names no stalled-write shim")
    out = tmp_path / "out.m4a"
    own = SoundServer() if case.own_server else None
    server = own or request.getfixturevalue("server")
    try:
        env = server.env
        if stalls:
            env = env | {"LD_PRELOAD": SHIM, "QFX_STALL_FLAG": f"{server.dir}/stall",
                         "QFX_STALL_TARGET": os.path.realpath(out)}
        with MonitorListener(server):
            Player(server, tone(60, 1000, 0.3, 0.3))
            tool = Tool([out], env, preexec_fn=case.child)
            if case.sees_ready:
                assert tool.wait_ready(), (tool.stdout, tool.stderr)
                begun = tool.ready_at
            else:
                begun = tool.started_at
            time.sleep(RECORDED)
            ending = case.end(tool, server)
            status = tool.finish(30)
            exited_at = time.monotonic()
    finally:
        if own:
            with contextlib.suppress(ProcessLookupError):
                own.signal(signal.SIGCONT)
            own.stop()

    assert status == 0, tool.stderr
    assert tool.stdout == ("READY\n" if case.sees_ready else "")
    if case.report:
        assert tool.stderr.startswith(case.report) and tool.stderr.count("\n") == 1, tool.stderr
        assert ending.reported == tool.stderr, "reported when it happened, not at the stop"
    else:
        assert tool.stderr == ""
    stopping = exited_at - ending.stop_at
    if case.own_server or stalls:
        figure(f"{case.name}: the tool exited {stopping:.3f} s after the stop")
        assert stopping < PROMPT

    audio = decode(out)
    recorded = ending.audio_end - begun
    # Without READY the start is known only to lie between the launch and the first audio.
    late_start = 0 if case.sees_ready else 2.0
    assert recorded - ending.early - late_start < duration(audio) < recorded + TOLERANCE, \
        f"{duration(audio):.3f} s in the file for {recorded:.3f} s recorded"
    body = audio[:, 0]
    assert levels(body[-24000:], 1000, 0.5)[0] > 0.2, "the tone played up to the end is missing there"
    missing = sum(length for _, length in holes(body, 0.1))
    figure(f"{case.name}: {missing:.3f} s of the tone missing in {duration(audio):.3f} s")
    if stalls:
        # Audio the stalled writer could not take became silence of its own length: the file kept the clock.
        assert STALL / 2 < missing < STALL
    elif server.kind == "pulseaudio":  # PipeWire's server may itself fall behind the clock on a loaded machine
        assert missing < TOLERANCE


@contextlib.contextmanager
def client_env(tmp_path, kind):
    """What a client runs with when its server is not there, has no sinks, or hangs."""
    if kind == "no server":
        (tmp_path / "client.conf").write_text("autospawn = no\n")
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PULSE_", "DBUS_"))}
        yield env | {"PULSE_SERVER": f"unix:{tmp_path}/none/native", "XDG_RUNTIME_DIR": str(tmp_path),
                     "PULSE_CLIENTCONFIG": f"{tmp_path}/client.conf"}
        return
    with SoundServer(sinks=kind != "no sinks") as server:
        if kind == "hung":
            server.signal(signal.SIGSTOP)
        try:
            yield server.env
        finally:
            server.signal(signal.SIGCONT)


@pytest.mark.parametrize("kind, says", [("no server", ""), ("no sinks", "No display"),
                                        ("hung", "did not answer in time\n")])
def test_a_recording_that_cannot_start_says_why_in_time(tmp_path, kind, says):
    out = tmp_path / "out.m4a"
    with client_env(tmp_path, kind) as env:
        tool = Tool([out], env)
        status = tool.finish(30)
        took = time.monotonic() - tool.started_at
    figure(f"{kind}: the start gave up after {took:.3f} s")
    assert (status, tool.stdout) == (4, "")
    assert says in tool.stderr and tool.stderr.endswith("\n") and tool.stderr.count("\n") == 1, tool.stderr
    assert not os.path.lexists(out)
