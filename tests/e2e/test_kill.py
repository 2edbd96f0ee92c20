"""A recording killed with SIGKILL (an OOM kill, a force quit) at any moment leaves a file that decodes without an
error: while recording a fragmented file that plays up to its last fragment (about a second), after the finish an
ordinary M4A. Killed N seconds after READY, at least N - 1 seconds of it are kept."""
import os
import signal
import time

import pytest

from harness import Player, Tool, decode, duration, is_our_file, probe, tone


def killed_after(server, out, seconds, stop_first_by=None):
    """Records for `seconds` after READY and kills the tool then; with `stop_first_by`, sends the stop line after
    `seconds` and kills that much later (during the stop or the finish). Gives (exit status, seconds recorded)."""
    tool = Tool([out], server.env)
    assert tool.wait_ready(), f"no READY: {tool.stderr!r}"
    time.sleep(seconds)
    recorded = time.monotonic() - tool.ready_at
    if stop_first_by is not None:
        tool.send("")
        time.sleep(stop_first_by)
    tool.child.send_signal(signal.SIGKILL)
    return tool.finish(30), recorded


@pytest.mark.parametrize("seconds", [0.5, 4.5])
def test_a_kill_while_recording_keeps_all_but_the_last_second(server, tmp_path, seconds):
    out = tmp_path / "out.m4a"
    player = Player(server, tone(seconds + 10))
    status, recorded = killed_after(server, out, seconds)
    player.stop()
    assert status == -signal.SIGKILL
    kept = duration(decode(out))  # fails on any decoding error
    print(f"killed after {recorded:.2f} s: {kept:.2f} s kept")
    assert kept >= recorded - 1.0
    assert kept <= recorded + 0.1


# From the stop line on: the tail wait, the capture's stop, the last fragment, the copy into an ordinary file and
# the rename. A 3 s recording finishes in a few tens of milliseconds; the kills are spread over that stretch.
@pytest.mark.parametrize("delay", [0.0, 0.01, 0.02, 0.03, 0.05, 0.08, 0.12])
def test_a_kill_during_the_finish_leaves_the_fragmented_or_the_finished_file(server, tmp_path, delay):
    out = tmp_path / "out.m4a"
    player = Player(server, tone(15))
    status, recorded = killed_after(server, out, 3.0, stop_first_by=delay)
    player.stop()
    assert status in (-signal.SIGKILL, 0)
    kept = duration(decode(out))
    state = "fragmented" if b"moof" in out.read_bytes() else "finished"
    print(f"killed {delay * 1000:.0f} ms after the stop: {state}, {kept:.2f} s of {recorded:.2f} s kept")
    assert kept >= recorded - 1.0
    if state == "finished":
        assert is_our_file(out)
        assert float(probe(out)["streams"][0]["duration"]) >= recorded - 0.1
    assert status != 0 or state == "finished"
    assert [p.name for p in tmp_path.iterdir() if p.name != "out.m4a" and not p.name.startswith(".out.m4a.")] == []
    os.remove(out)
