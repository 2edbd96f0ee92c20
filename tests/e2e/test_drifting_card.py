"""A sound card whose clock is not the system's: the file still follows the wall clock (its length against READY to
stop is what it is for a card on time), without holes in a continuous tone, whether the card runs fast or slow.

The card is a pipe sink that a reader here drains at a set rate: the sink plays only as fast as its pipe empties.
PulseAudio only: PipeWire paces its pipe sink by its own graph clock, whatever the reader does."""
import os
import signal
import subprocess
import threading
import time

import pytest

from harness import SERVER_KIND, Player, SoundServer, Tool, decode, duration, holes, tone

pytestmark = pytest.mark.skipif(SERVER_KIND != "pulseaudio", reason="PipeWire's pipe sink ignores its reader's pace")



# The card's clock: a process of its own that drains the pipe 10 ms of frames at a time on a schedule of the system
# clock (kept however late a tick comes, so the rate does not wander), and tells how late its worst tick was. Run
# with a real-time priority where it may be: a reader that falls behind stops the card, which the tool rightly
# records as lost time.
READER = """
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)  # opening does not wait for the sink
fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)  # reading does: no polling
ratio = float(sys.argv[2])
chunk = 480 * 8
start = None  # the schedule starts once the sink delivers
tick = worst = 0
try:
    while True:
        if start is not None:
            tick += 1
            delay = start + tick * 0.01 / ratio - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            worst = max(worst, -delay)
        wanted = chunk
        while wanted > 0:
            got = len(os.read(fd, wanted))
            if got == 0:  # the sink is gone
                raise KeyboardInterrupt
            wanted -= got
        start = time.monotonic() if start is None else start
except KeyboardInterrupt:
    print(f"{worst * 1000:.0f}", flush=True)
"""


class Card:
    """A pipe sink, made the default, whose clock runs `ratio` times as fast as the system's."""

    def __init__(self, server, ratio):
        self.server = server
        self.fifo = os.path.join(server.dir, f"card-{ratio}.fifo")
        self.module = server.pactl("load-module", "module-pipe-sink", f"file={self.fifo}", "sink_name=qfx_card",
                                   "format=float32le", "rate=48000", "channels=2")
        server.pactl("set-default-sink", "qfx_card")
        argv = ["/usr/bin/python3", "-c", READER, self.fifo, str(ratio)]
        realtime = subprocess.run(["chrt", "-f", "10", "true"], capture_output=True, timeout=10).returncode == 0
        self.reader = subprocess.Popen((["chrt", "-f", "10"] if realtime else []) + argv, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True)
        self.worst_late_ms = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.reader.send_signal(signal.SIGINT)
        try:
            self.worst_late_ms = int(self.reader.communicate(timeout=10)[0].strip() or -1)
        except (subprocess.TimeoutExpired, ValueError):
            self.reader.kill()
            self.reader.wait(10)
        self.server.pactl("set-default-sink", "qfx_null")
        self.server.pactl("unload-module", self.module)


def length_error_and_holes(server, tmp_path, ratio, seconds):
    """Records `seconds` of a continuous tone from a card at `ratio`; gives the file's length minus READY-to-stop,
    the holes of 10 ms or more in the tone, and how the test's own equipment kept time."""
    out = tmp_path / f"card-{ratio}.m4a"
    with Card(server, ratio) as card:
        # A second of 1000 Hz is a whole number of periods: it repeats without a seam.
        player = Player(server, tone(1), sink="qfx_card", loops=round(seconds * 1.1) + 10)
        time.sleep(1)  # the tone runs before READY, so the whole file holds it
        tool = Tool([out], server.env)
        assert tool.wait_ready(), (tool.stdout, tool.stderr)
        time.sleep(seconds)
        tool.send("")
        status = tool.finish()
        underruns = player.underruns()
        player.stop()
    assert status == 0 and tool.stderr == ""
    decoded = decode(out)
    found = [h for h in holes(decoded[:, 0], 0.1) if h[1] >= 0.010]
    error = duration(decoded) - (tool.stop_at - tool.ready_at)
    equipment = f"the card's clock ticked up to {card.worst_late_ms} ms late, the player ran dry {underruns} times"
    print(f"card at {ratio} for {seconds} s: length error {error * 1000:+.0f} ms, holes {found}; {equipment}")
    return error, found, equipment, card.worst_late_ms


# The pipe sink holds about 170 ms: a reader later than this may have stopped the card.
LATE_CARD_MS = 100


def late_card(worst_late_ms):
    """Whether the simulated card itself stalled (its reader ran late on a loaded machine): the sink then really
    stopped playing, and the tool rightly records the stall as a hole, which says nothing about drift."""
    return worst_late_ms is None or worst_late_ms > LATE_CARD_MS


def test_a_card_fast_or_slow_keeps_the_length_and_leaves_no_holes(server, tmp_path):
    errors = {}
    for ratio in (1.0, 1.005, 0.995):  # on time, half a percent fast and slow
        errors[ratio], found, late, late_ms = length_error_and_holes(server, tmp_path, ratio, 30)
        assert found == [] or late_card(late_ms), f"card at {ratio}: holes {found}; {late}"
    assert all(abs(error - errors[1.0]) <= 0.050 for error in errors.values()), errors


@pytest.mark.skipif(os.environ.get("QFX_E2E_LONG") != "1", reason="the ten-minute run is in the long label")
def test_ten_minutes_at_100_ppm_fast_and_slow(tmp_path):
    """As a real card drifts: 100 ppm is 60 ms over ten minutes, more than the length may be off. The three cards
    at once, each on a server of its own, so that the run takes ten minutes."""
    results = {}

    def run(ratio):
        try:
            with SoundServer() as own:
                results[ratio] = length_error_and_holes(own, tmp_path, ratio, 600)
        except Exception as error:  # noqa: BLE001 (reported below, in the test's own thread)
            results[ratio] = error

    ratios = (1.0, 1.0001, 0.9999)
    runs = [threading.Thread(target=run, args=(ratio,)) for ratio in ratios]
    for thread in runs:
        thread.start()
    for thread in runs:
        thread.join(900)
    assert all(isinstance(results.get(ratio), tuple) for ratio in ratios), results
    for ratio in ratios:
        error, found, late, late_ms = results[ratio]
        assert found == [] or late_card(late_ms), f"card at {ratio}: holes {found}; {late}"
        assert abs(error - results[1.0][0]) <= 0.050, results
