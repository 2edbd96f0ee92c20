"""What a recording holds: the file's format, each channel's sound, its length against the time recorded; the clock
kept through a stopped process; the tail at stop. A server that goes away is one of the endings (test_ends.py)."""
import signal
import time

import numpy as np

from harness import (TOLERANCE, MonitorListener, Player, Tool, assert_length_fits, bursts, decode, duration, figure,
                     holes, is_our_file, keeps_the_clock, levels, rms, silence, spans, tone)


def start(server, path):
    tool = Tool([path], server.env)
    assert tool.wait_ready(), tool.stderr
    return tool


def stop(tool):
    tool.send()
    assert (tool.finish(), tool.stdout) == (0, "READY\n"), tool.stderr


def test_left_and_right_tones_arrive_in_their_channels_of_a_valid_file(server, tmp_path):
    tool = start(server, tmp_path / "out.m4a")
    player = Player(server, np.concatenate([silence(0.5), tone(2, 440, 0.5, 0), tone(2, 660, 0, 0.5), silence(0.3)]))
    assert player.finish(30)
    time.sleep(0.3)
    stop(tool)
    assert tool.stderr == ""
    assert is_our_file(tmp_path / "out.m4a")
    audio = decode(tmp_path / "out.m4a")
    # No listener keeps the sink awake: however late an idle sink delivers, the file starts when the capture did.
    assert_length_fits(audio, tool, tool.stop_at)
    for channel, frequency in [(0, 440), (1, 660)]:
        found = spans(audio[:, channel], frequency, 0.25)
        assert found, f"the {frequency} Hz tone is missing"
        # A stalled server may split a tone but loses none of it.
        assert abs(sum(b - a for a, b in found) - 2.0) < TOLERANCE + 0.02 * len(found)
        a, b = max(found, key=lambda s: s[1] - s[0])
        middle = audio[round((a + 0.1) * 48000):round((b - 0.1) * 48000)]
        assert abs(np.median(levels(middle[:, channel], frequency)) - 0.5) < 0.05
        assert rms(middle[:, 1 - channel]) < 0.001, "the other channel is silent"


def test_a_process_stopped_for_a_second_keeps_the_clock(server, tmp_path):
    # A quiet tone with bursts 4 s apart; the sink plays them on its clock, and so must the file hold them.
    played = tone(7, 440, 0.1, 0.1)
    for at in (2.0, 6.0):
        played[round(at * 48000):round((at + 0.05) * 48000)] += tone(0.05, 3000, 0.5, 0.5)
    with MonitorListener(server):
        tool = start(server, tmp_path / "out.m4a")
        player = Player(server, played)
        time.sleep(3.5)
        tool.child.send_signal(signal.SIGSTOP)
        time.sleep(1)
        tool.child.send_signal(signal.SIGCONT)
        underruns = player.underruns()  # pacat reports one more as it drains at the end
        assert player.finish(30)
        time.sleep(0.3)
        stop(tool)
    audio = decode(tmp_path / "out.m4a")
    assert_length_fits(audio, tool, tool.stop_at)
    onsets = bursts(audio[:, 0])
    assert len(onsets) == 2, onsets
    figure(f"bursts 4.000 s apart as played, {onsets[1] - onsets[0]:.3f} s in the file across a 1 s SIGSTOP")
    if keeps_the_clock(server):
        assert underruns == 0, "the player ran dry: the distance proves nothing"
        assert abs(onsets[1] - onsets[0] - 4) < TOLERANCE
        # What the server captured meanwhile arrives late, in a burst, and is no loss.
        held = audio[round(onsets[0] * 48000):round(onsets[1] * 48000), 0]
        assert sum(length for _, length in holes(held, 0.01)) < TOLERANCE


def test_a_tone_ending_just_before_the_stop_is_wholly_in_the_file(server, tmp_path):
    with MonitorListener(server):
        tool = start(server, tmp_path / "out.m4a")
        assert Player(server, np.concatenate([silence(2), tone(1, 1000, 0.5, 0.5)])).finish(30)
        time.sleep(0.2)
        stop(tool)
    audio = decode(tmp_path / "out.m4a")
    assert_length_fits(audio, tool, tool.stop_at)
    found = spans(audio[:, 0], 1000, 0.25)
    assert found and abs(sum(b - a for a, b in found) - 1.0) < TOLERANCE + 0.02 * len(found)
    figure(f"a 1 s tone ending 0.2 s before the stop: followed by {duration(audio) - found[-1][1]:.3f} s")
    assert duration(audio) - found[-1][1] >= 0.2 - 2 * TOLERANCE, "what came after the tone is there too"
