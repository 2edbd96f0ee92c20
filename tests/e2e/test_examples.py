"""The example parents (examples/node/record.mjs, examples/python/record.py) against the real tool: what each reports
for a recording, for the ways a recording fails to start or ends early, and that a cancelled recording still gets
its file finished."""
import asyncio
import importlib.util
import json
import os
import signal
import subprocess
import time

import numpy as np
import pytest

from harness import SOURCE, TOOL, MonitorListener, Player, SoundServer, decode, duration, is_our_file, levels, tone

CLIENTS = {
    "node": ["node", str(SOURCE / "examples/node/record.mjs")],
    "python": ["/usr/bin/python3", str(SOURCE / "examples/python/record.py")],
}
NO_DISPLAY = "No display is available for ScreenCaptureKit audio capture."


def start_example(client, out, seconds, env, tool=TOOL):
    """In a process group of its own, as a command run from a terminal's shell."""
    return subprocess.Popen([*CLIENTS[client], str(out), str(seconds)], env=env | {"QFX_SYSTEM_AUDIO": str(tool)},
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            process_group=0)


def outcome(example, timeout=60):
    """The example's JSON line and its exit status; an example still running after `timeout` fails the test."""
    try:
        stdout, stderr = example.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        example.kill()
        example.communicate()
        raise AssertionError(f"the example did not end within {timeout} s")
    lines = stdout.splitlines()
    assert len(lines) == 1, f"not one line on stdout: {stdout!r}; stderr: {stderr!r}"
    return json.loads(lines[0]), example.returncode


@pytest.mark.parametrize("client", CLIENTS)
def test_a_recording_is_reported_with_its_length_and_holds_what_played(server, tmp_path, client):
    out = tmp_path / "out.m4a"
    with MonitorListener(server):
        player = Player(server, tone(6, 1000))
        report, status = outcome(start_example(client, out, 2, server.env))
        player.stop()
    assert status == 0
    assert report["path"] == str(out) and report["status"] == 0 and report["file"] is True
    assert report["error"] is None
    assert 2 <= report["seconds"] < 2.5
    assert is_our_file(out)
    samples = decode(out)
    # The example's own clock, READY to the stop line, against the file's length.
    assert abs(duration(samples) - report["seconds"]) < 0.1
    # Heard in most tenths of a second: a window this short is not thrown by a slight change of pitch.
    heard = levels(samples[:, 0], 1000, 0.1)
    assert np.median(heard) > 0.2, heard


@pytest.mark.parametrize("client", CLIENTS)
def test_start_failures_carry_the_tools_message_and_cause(server, tmp_path, client):
    cases = [("missing directory", tmp_path / "missing" / "out.m4a", server.env, TOOL, "start", "writerCreation",
              "Unable to create audio writer: "),
             ("no such tool", tmp_path / "out.m4a", server.env, tmp_path / "nothing-here", "launch", None, "")]
    with SoundServer(sinks=False) as empty:
        cases.append(("no output device", tmp_path / "out.m4a", empty.env, TOOL, "start", "noDisplay", NO_DISPLAY))
        for name, out, env, tool, kind, cause, message in cases:
            report, status = outcome(start_example(client, out, 1, env, tool=tool))
            assert status == 1, name
            assert report["error"]["kind"] == kind, name
            assert report["error"].get("cause") == cause, name
            assert report["error"]["message"].startswith(message), name
            assert report["status"] == (4 if kind == "start" else None), name
            assert report["seconds"] is None and report["file"] is False, name
    assert not os.path.lexists(tmp_path / "out.m4a")


@pytest.mark.parametrize("client", CLIENTS)
@pytest.mark.parametrize("ending", ["Ctrl-C", "server gone"])
def test_a_recording_ended_early_keeps_its_file(tmp_path, client, ending):
    """Ctrl-C at a terminal stops the recording through the example; a capture that ends by itself is a
    streamStopped error, with the file kept."""
    out = tmp_path / "out.m4a"
    with SoundServer() as server, MonitorListener(server):  # audio from READY on, so the file has some
        player = Player(server, tone(10, 1000))
        example = start_example(client, out, 6, server.env)
        time.sleep(3)  # the example is well past READY
        if ending == "Ctrl-C":
            os.killpg(example.pid, signal.SIGINT)  # what Ctrl-C does: the whole foreground group
        else:
            server.signal(signal.SIGKILL)
        report, status = outcome(example)
        player.stop()
    assert report["status"] == 0 and report["file"] is True and is_our_file(out)
    if ending == "Ctrl-C":
        assert status == 0 and report["error"] is None
        assert 1 < report["seconds"] < 3 and abs(duration(decode(out)) - report["seconds"]) < 0.1
    else:
        assert status == 1 and report["error"]["kind"] == "streamStopped"
        assert report["error"]["message"].startswith("ScreenCaptureKit stopped: ")


def test_python_client_cancelled_while_recording_or_stopping_still_finishes_the_file(server, tmp_path, monkeypatch):
    spec = importlib.util.spec_from_file_location("record", SOURCE / "examples/python/record.py")
    client = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(client)
    for name, value in server.env.items():
        monkeypatch.setenv(name, value)

    async def cancelled_while_recording(out):
        recording = asyncio.get_running_loop().create_future()

        async def record():
            async with client.Recording.starting(str(out), tool=TOOL) as started:
                recording.set_result(started)
                await asyncio.sleep(60)

        task = asyncio.create_task(record())
        await asyncio.wait_for(asyncio.shield(recording), 30)
        await asyncio.sleep(2)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return recording.result()

    async def cancelled_while_stopping(out):
        recording = await client.Recording.start(str(out), tool=TOOL)
        await asyncio.sleep(2)
        stopping = asyncio.create_task(recording.stop())
        await asyncio.sleep(0)
        stopping.cancel()
        with pytest.raises(asyncio.CancelledError):
            await stopping
        assert recording._child.returncode == 0  # the cancellation came through only once the tool had ended
        return recording

    with MonitorListener(server):
        player = Player(server, tone(10, 1000))
        for scenario in (cancelled_while_recording, cancelled_while_stopping):
            out = tmp_path / f"{scenario.__name__}.m4a"
            recording = asyncio.run(asyncio.wait_for(scenario(out), 60))
            assert is_our_file(out), scenario.__name__
            assert 2 <= recording.seconds < 2.5, scenario.__name__
            assert abs(duration(decode(out)) - recording.seconds) < 0.1, scenario.__name__
        player.stop()
