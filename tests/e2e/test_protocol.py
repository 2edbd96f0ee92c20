"""The protocol over real pipes: what a parent sees when a recording cannot start, when the output location is in
the way, when it ends the recording each way it can, and when the file cannot be finished."""
import os
import subprocess

import pytest

from harness import Player, SoundServer, Tool, is_our_file, noise, record, tone


def one_line(text):
    return text.endswith("\n") and text.count("\n") == 1


def unreachable(tmp_path):
    """A client environment that reaches no server and never spawns one."""
    (tmp_path / "client.conf").write_text("autospawn = no\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PULSE_", "DBUS_"))}
    return env | {"PULSE_SERVER": f"unix:{tmp_path}/none/native", "PULSE_CLIENTCONFIG": f"{tmp_path}/client.conf",
                  "XDG_RUNTIME_DIR": str(tmp_path)}


@pytest.mark.parametrize("args", [[], ["a.m4a", "b.m4a"]])
def test_not_one_argument_is_a_usage_error_touching_nothing(tmp_path, args):
    for name in args:
        (tmp_path / name).write_text("keep")
    tool = Tool(args, unreachable(tmp_path), cwd=tmp_path)
    assert tool.finish(20) == 2
    assert tool.stdout == "" and one_line(tool.stderr)
    assert all((tmp_path / name).read_text() == "keep" for name in args)


def test_unreachable_server_and_server_without_sinks_fail_to_start(tmp_path):
    tool = Tool([tmp_path / "out.m4a"], unreachable(tmp_path))
    assert tool.finish(30) == 4
    assert tool.stdout == "" and one_line(tool.stderr)
    with SoundServer(sinks=False) as empty:
        tool = Tool([tmp_path / "out.m4a"], empty.env)
        assert tool.finish(30) == 4
        assert tool.stdout == "" and "No display" in tool.stderr and one_line(tool.stderr)
    assert not os.path.lexists(tmp_path / "out.m4a")


@pytest.mark.parametrize("kind", ["directory", "fifo", "empty path"])
def test_directory_fifo_or_empty_path_is_left_alone_and_fails_to_start(server, tmp_path, kind):
    out = tmp_path / "out.m4a"
    if kind == "directory":
        out.mkdir()
        (out / "inside").write_text("x")
    elif kind == "fifo":
        os.mkfifo(out)
    tool = Tool(["" if kind == "empty path" else out], server.env, cwd=tmp_path)
    assert tool.finish(30) == 4
    assert tool.stdout == "" and one_line(tool.stderr) and tool.stderr.startswith("Unable to create audio writer")
    assert {"directory": (out / "inside").exists(), "fifo": out.is_fifo(), "empty path": tmp_path.is_dir()}[kind]


@pytest.mark.parametrize("stop", [None, "", "\nnever read"], ids=["end of input", "empty line", "two lines"])
def test_each_way_of_stopping_ends_cleanly_with_a_file(server, tmp_path, stop):
    player = Player(server, tone(4))
    tool = record([tmp_path / "out.m4a"], server.env, 1.5, stop=stop)
    player.stop()
    assert (tool.status, tool.stdout, tool.stderr) == (0, "READY\n", "")
    assert is_our_file(tmp_path / "out.m4a")


def test_end_of_input_at_once_leaves_a_file_or_nothing(server, tmp_path):
    tool = Tool([tmp_path / "out.m4a"], server.env)
    assert tool.wait_ready()
    tool.send(None)
    assert (tool.finish(), tool.stdout, tool.stderr) == (0, "READY\n", "")
    assert not os.path.lexists(tmp_path / "out.m4a") or is_our_file(tmp_path / "out.m4a")


def test_a_file_that_cannot_be_finished_is_exit_5(server, tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    # 48 KiB hold the header and about two seconds of loud noise at the encoder's bit rate.
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48k", "qfx-e2e-full", small],
                      capture_output=True, timeout=30).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    try:
        player = Player(server, noise(7))
        tool = record([small / "out.m4a"], server.env, 5)
        player.stop()
        assert tool.status == 5 and tool.stdout == "READY\n"
        assert one_line(tool.stderr) and tool.stderr.startswith("Unable to finish audio writer")
    finally:
        subprocess.run(["umount", small], timeout=30)
