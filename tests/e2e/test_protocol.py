"""The protocol over real pipes: what a parent sees when a recording cannot start, and when it ends the recording
each way it can."""
import os
import time

import pytest

from harness import Player, SoundServer, Tool, is_our_file, tone


def one_line(text):
    return text.endswith("\n") and text.count("\n") == 1


def unreachable(tmp_path):
    """A client environment that reaches no server and never spawns one."""
    (tmp_path / "client.conf").write_text("autospawn = no\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PULSE_", "DBUS_"))}
    return env | {"PULSE_SERVER": f"unix:{tmp_path}/none/native", "PULSE_CLIENTCONFIG": f"{tmp_path}/client.conf",
                  "XDG_RUNTIME_DIR": str(tmp_path)}


def test_unreachable_server_and_server_without_sinks_fail_to_start(tmp_path):
    tool = Tool([tmp_path / "out.m4a"], unreachable(tmp_path))
    assert tool.finish(30) == 4
    assert tool.stdout == "" and one_line(tool.stderr)
    with SoundServer(sinks=False) as empty:
        tool = Tool([tmp_path / "out.m4a"], empty.env)
        assert tool.finish(30) == 4
        assert tool.stdout == "" and "No display" in tool.stderr and one_line(tool.stderr)
    assert not os.path.lexists(tmp_path / "out.m4a")


@pytest.mark.parametrize("stop", [None, "", "\nnever read"], ids=["end of input", "empty line", "two lines"])
def test_each_way_of_stopping_ends_cleanly_with_a_file(server, tmp_path, stop):
    player = Player(server, tone(4))
    tool = Tool([tmp_path / "out.m4a"], server.env)
    assert tool.wait_ready()
    time.sleep(1.5)
    tool.send(stop)
    assert (tool.finish(), tool.stdout, tool.stderr) == (0, "READY\n", "")
    player.stop()
    assert is_our_file(tmp_path / "out.m4a")
