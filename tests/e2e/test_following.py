"""The recording follows the system's output: a new default sink, the captured sink taken away while another
remains, the last sink taken away (the stream ends; a microphone is never recorded instead). Each test rearranges
the sinks of a server of its own."""
import os
import subprocess
import threading
import time

import numpy as np
import pytest

from harness import Player, SoundServer, Tool, decode, duration, figure, levels, spans, tone

FIRST, SECOND, MICROPHONE = 440, 880, 1234  # Hz, played into qfx_null, qfx_second and the fake microphone


@pytest.fixture
def own_server():
    with SoundServer() as server:
        server.pactl("load-module", "module-null-sink", "sink_name=qfx_second")
        yield server


def record_around(server, path, sinks, change):
    """Records with a tone playing into each sink; `change` runs 3 s in (past the first fragment's delay), the stop
    4 s after (past the new stream's own). Gives the tool, finished, and what it had reported before the stop."""
    tool = Tool([path], server.env)
    assert tool.wait_ready(), tool.stderr
    players = [Player(server, tone(30, frequency), sink) for sink, frequency in sinks]
    time.sleep(3)
    change()
    time.sleep(4)
    before_stop = tool.stderr
    tool.send()
    assert (tool.finish(), tool.stdout) == (0, "READY\n"), tool.stderr
    for player in players:
        player.stop()
    return tool, before_stop


@pytest.mark.parametrize("change", ["second sink made default", "captured sink removed"])
def test_the_recording_moves_to_the_sink_the_sound_now_goes_to(own_server, tmp_path, change):
    module = own_server.module_of_sink("qfx_null")
    tool, _ = record_around(own_server, tmp_path / "out.m4a", [("qfx_null", FIRST), ("qfx_second", SECOND)],
                            lambda: own_server.pactl("set-default-sink", "qfx_second") if change.startswith("second")
                            else own_server.pactl("unload-module", module))
    assert tool.stderr == "", "the stream goes on"
    audio = decode(tmp_path / "out.m4a")
    first, second = spans(audio[:, 0], FIRST, 0.15), spans(audio[:, 0], SECOND, 0.15)
    assert first and second
    # Only the first sink before the change. (The server may move the first player along with the change.)
    assert second[0][0] - first[0][0] >= 0.5, "the second sink was heard before the change"
    # The second sink is heard to the end (but for the encoder's fading last frame), a stall's hole aside.
    assert max(levels(audio[-round(1.1 * 48000):-round(0.1 * 48000), 0], SECOND, 0.2)) > 0.25
    figure(f"{change}: {second[0][0] - first[0][1]:.3f} s of silence between the sinks' audio")


def test_the_last_sink_removed_ends_the_stream_and_never_records_the_microphone(tmp_path):
    with SoundServer() as server:
        server.pactl("load-module", "module-pipe-source", "source_name=qfx_mic", f"file={tmp_path}/mic",
                     "format=float32le", "rate=48000", "channels=2")
        # The source has the pipe open for reading, so this open does not block.
        pipe = os.open(tmp_path / "mic", os.O_WRONLY | os.O_NONBLOCK)
        done = threading.Event()

        def feed():  # in real time; a full pipe drops the chunk, as a device would
            chunk, at = tone(0.01, MICROPHONE, 0.5, 0.5).tobytes(), time.monotonic()
            while not done.wait(max(0.0, at - time.monotonic())):
                try:
                    os.write(pipe, chunk)
                except BlockingIOError:
                    pass
                at += 0.01
        feeder = threading.Thread(target=feed)
        feeder.start()
        try:
            # The microphone must be plainly audible, or this proves nothing.
            heard = subprocess.run(["timeout", "2.5", "pacat", "--record", "--raw", "--device=qfx_mic",
                                    "--format=float32le", "--rate=48000", "--channels=2"], env=server.env,
                                   capture_output=True, timeout=10).stdout
            mic = np.frombuffer(heard[:len(heard) // 8 * 8], np.float32)[-48000:]
            assert max(levels(mic[::2], MICROPHONE)) > 0.1, "the fake microphone is inaudible"
            server.pactl("set-default-source", "qfx_mic")
            module = server.module_of_sink("qfx_null")
            tool, before_stop = record_around(server, tmp_path / "out.m4a", [("qfx_null", FIRST)],
                                              lambda: server.pactl("unload-module", module))
        finally:
            done.set()
            feeder.join(10)
            os.close(pipe)
    assert tool.stderr.startswith("ScreenCaptureKit stopped: ") and tool.stderr.count("\n") == 1
    assert before_stop == tool.stderr, "reported when the sink went, not at stop"
    audio = decode(tmp_path / "out.m4a")
    assert spans(audio[:, 0], FIRST, 0.15), "what came before is kept"
    loudest = max(levels(audio[:, 0], MICROPHONE, 0.05))
    figure(f"the microphone peaks at {20 * np.log10(max(loudest, 1e-9)):.1f} dBFS in the file "
           f"({duration(audio):.1f} s)")
    assert loudest < 0.01, "the microphone reached the file"
