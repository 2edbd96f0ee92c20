"""What the end-to-end tests share: private sound servers, the tool run as a parent runs it, test signals played
into a sink, and the analysis of the files the tool writes.

Configured by the environment CTest sets: QFX_TOOL (the executable), QFX_SOURCE_DIR, QFX_E2E_SERVER
("pulseaudio" or "pipewire"). QFX_E2E_KEEP=1 keeps every server directory (their paths are printed).

Every wait here is bounded. Whatever a test starts (tool, players, listeners) is killed by cleanup(), which the
conftest runs after every test, so a failing test leaves nothing running."""
import json
import os
import pathlib
import select
import shlex
import subprocess
import tempfile
import threading
import time

import numpy as np

SOURCE = pathlib.Path(os.environ.get("QFX_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
TOOL = os.environ.get("QFX_TOOL", str(SOURCE / "build/qfx_system_audio"))
SERVER_KIND = os.environ.get("QFX_E2E_SERVER", "pulseaudio")
RATE = 48000

_running = []  # every child a test started, for cleanup()


def _spawn(argv, env=None, stdin=subprocess.PIPE, stdout=subprocess.PIPE, **kwargs):
    child = subprocess.Popen(argv, env=env, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE, **kwargs)
    _running.append(child)
    return child


def cleanup():
    while _running:
        child = _running.pop()
        if child.poll() is None:
            child.kill()
            child.wait(10)


def _drain(stream, into, first_line=None):
    for chunk in iter(lambda: stream.read1(65536), b""):
        into.extend(chunk)
        if first_line is not None and not first_line.is_set() and b"\n" in into:
            first_line.at = time.monotonic()
            first_line.set()
    stream.close()


class SoundServer:
    """A private server started by scripts/sound-server.sh in a directory of its own; all its processes share one
    process group. `env` is what every client of it runs with."""

    def __init__(self, kind=SERVER_KIND, sinks=True):
        self.kind = kind
        self.dir = tempfile.mkdtemp(prefix="qfx-e2e-server-")
        started = subprocess.run(["bash", SOURCE / "scripts/sound-server.sh", "start" if sinks else "start-none",
                                  kind, self.dir], capture_output=True, text=True, timeout=90,
                                 env=dict(os.environ, QFX_SOUND_SERVER_OWNER=str(os.getpid())))
        if started.returncode != 0:
            self.stop()
            raise RuntimeError(f"no {kind} server: {started.stderr}")
        self.env = dict(os.environ)
        for line in started.stdout.splitlines():
            name, _, value = line.removeprefix("export ").partition("=")
            self.env[name] = shlex.split(value)[0] if value else ""
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.pgid = int(self.env["QFX_TEST_SERVER_PGID"])

    def stop(self):
        subprocess.run(["bash", SOURCE / "scripts/sound-server.sh", "stop", self.dir], timeout=30)
        if os.environ.get("QFX_E2E_KEEP") == "1":
            print("kept", self.dir)
        else:
            subprocess.run(["rm", "-rf", self.dir], timeout=30)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def signal(self, sig):
        """Every process of the server at once: SIGKILL as a crash, SIGSTOP/SIGCONT as a stall."""
        os.killpg(self.pgid, sig)

    def pactl(self, *args):
        done = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True, timeout=30)
        assert done.returncode == 0, f"pactl {' '.join(args)}: {done.stderr}"
        return done.stdout.strip()

    def module_of_sink(self, name):
        for sink in json.loads(self.pactl("--format=json", "list", "sinks")):
            if sink["name"] == name:
                return str(sink["owner_module"])
        return None


class Tool:
    """One run of the tool with pipes on its three standard streams, as a parent runs it."""

    def __init__(self, args, env, cwd=None, **popen):
        self.started_at = time.monotonic()
        self.child = _spawn([TOOL, *map(str, args)], env=env, cwd=cwd, **popen)
        self._out, self._err = bytearray(), bytearray()
        self._ready = threading.Event()
        self.ready_at = self.stop_at = None
        self._readers = [threading.Thread(target=_drain, args=(self.child.stdout, self._out, self._ready)),
                         threading.Thread(target=_drain, args=(self.child.stderr, self._err))]
        for reader in self._readers:
            reader.start()

    def wait_ready(self, timeout=30):
        """True when the first line arrived in time and was exactly READY; ready_at is when it arrived."""
        if self._ready.wait(timeout):
            self.ready_at = self._ready.at
        return self._ready.is_set() and bytes(self._out).startswith(b"READY\n")

    def send(self, text=""):
        """Writes one line (the stop), or closes standard input when text is None."""
        self.stop_at = time.monotonic()
        try:
            if text is not None:
                self.child.stdin.write(text.encode() + b"\n")
                self.child.stdin.flush()
            else:
                self.child.stdin.close()
        except BrokenPipeError:
            pass

    def finish(self, timeout=60):
        """The exit status (negative: the signal that ended it); a tool still running after timeout is killed and
        the test fails."""
        try:
            status = self.child.wait(timeout)
        except subprocess.TimeoutExpired:
            self.child.kill()
            self.child.wait(10)
            raise AssertionError(f"the tool did not end within {timeout} s; stderr: {self.stderr}")
        for reader in self._readers:
            reader.join(10)
        return status

    @property
    def stdout(self):
        return bytes(self._out).decode(errors="replace")

    @property
    def stderr(self):
        return bytes(self._err).decode(errors="replace")


class Player:
    """Plays a signal ((frames, 2) float32 array at 48000 Hz) into a sink through pacat, which the sink plays by
    its own clock; `loops` times over, for long runs of a signal that repeats seamlessly."""

    def __init__(self, server, samples, sink=None, loops=1):
        argv = ["pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2", "--verbose",
                "--client-name=qfx-e2e-player"] + ([f"--device={sink}"] if sink else [])
        self.child = _spawn(argv, env=server.env, stdout=subprocess.DEVNULL)
        self._err = bytearray()
        self._feeder = threading.Thread(target=self._feed, args=(np.ascontiguousarray(samples, np.float32), loops))
        self._drainer = threading.Thread(target=_drain, args=(self.child.stderr, self._err))
        self._feeder.start()
        self._drainer.start()

    def _feed(self, samples, loops):
        try:
            for _ in range(loops):
                for at in range(0, len(samples), 2400):
                    self.child.stdin.write(samples[at:at + 2400].tobytes())
            self.child.stdin.close()
        except (BrokenPipeError, ValueError):
            pass

    def finish(self, timeout):
        """Waits until all of it was played out; True when pacat ended well."""
        try:
            return self.child.wait(timeout) == 0
        finally:
            self.stop()

    def stop(self):
        if self.child.poll() is None:
            self.child.kill()
        self.child.wait(10)
        self._feeder.join(10)
        self._drainer.join(10)

    def underruns(self):
        """Each time the player ran dry, the sink played a hole and later points of the signal moved apart."""
        return bytes(self._err).count(b"Stream underrun")


class MonitorListener:
    """Keeps a sink's monitor running with a short fragment, as on a desktop where something always listens. An
    idle null sink sleeps for up to two seconds before it renders, which would hide when a file should start."""

    def __init__(self, server, sink="qfx_null"):
        self.child = _spawn(["pacat", "--record", "--raw", f"--device={sink}.monitor", "--latency-msec=10",
                             "--format=float32le", "--rate=48000", "--channels=2"], env=server.env, stdin=None)
        ready, _, _ = select.select([self.child.stdout], [], [], 15)
        assert ready and self.child.stdout.read1(4096), f"the monitor of {sink} delivers nothing"
        threading.Thread(target=lambda: [None for _ in iter(lambda: self.child.stdout.read(65536), b"")],
                         daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.child.kill()
        self.child.wait(10)


# Signals: (frames, 2) float32 arrays at 48000 Hz.

def tone(seconds, frequency=1000, left=0.3, right=0.3):
    t = np.arange(round(seconds * RATE)) / RATE
    wave = np.sin(2 * np.pi * frequency * t)
    return np.stack([left * wave, right * wave], axis=1).astype(np.float32)


def silence(seconds):
    return np.zeros((round(seconds * RATE), 2), np.float32)


# Files, as a user's tools see them.

def probe(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", str(path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"ffprobe {path}: {done.stderr}"
    return json.loads(done.stdout)


def is_our_file(path):
    found = probe(path)
    return (found["streams"][0]["codec_name"] == "aac" and found["streams"][0]["channels"] == 2
            and found["format"]["tags"]["major_brand"] == "M4A ")


def decode(path):
    """The file's sound as 48000 Hz stereo float32 (frames, 2); any decode error fails the test."""
    done = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-f", "f32le", "-ac", "2", "-ar",
                           "48000", "-"], capture_output=True, timeout=120)
    assert done.returncode == 0 and not done.stderr, f"ffmpeg cannot decode {path}: {done.stderr.decode()}"
    return np.frombuffer(done.stdout, np.float32).reshape(-1, 2)


def duration(samples):
    return len(samples) / RATE


def rms(samples):
    return float(np.sqrt(np.mean(np.square(samples, dtype=np.float64)))) if len(samples) else 0.0


def holes(samples, level, window=0.005):
    """Stretches (start, length in seconds) where a continuous tone (mono) falls below `level` amplitude, measured
    in windows of `window` seconds, from its first audible window to its last."""
    size = round(window * RATE)
    count = len(samples) // size
    peaks = np.abs(samples[:count * size]).reshape(count, size).max(axis=1)
    loud = np.flatnonzero(peaks >= level)
    return [((a + 1) * window, (b - a - 1) * window) for a, b in zip(loud[:-1], loud[1:]) if b - a > 1]


def levels(samples, frequency, window=0.02):
    """The amplitude of one frequency in each window of a mono signal."""
    size = round(window * RATE)
    count = len(samples) // size
    k = np.exp(-2j * np.pi * frequency * np.arange(size) / RATE)
    return 2 * np.abs(samples[:count * size].reshape(count, size) @ k) / size


def spans(samples, frequency, level, window=0.02):
    """Where a tone is at least `level` loud in a mono signal: (start, end) pairs in seconds."""
    loud = np.concatenate([[False], levels(samples, frequency, window) >= level, [False]])
    edges = np.flatnonzero(np.diff(loud.astype(int)))
    return [(a * window, b * window) for a, b in zip(edges[::2], edges[1::2])]


def bursts(samples, frequency=3000, apart=0.5, window=0.005):
    """Onsets (seconds) of loud bursts of `frequency` over a quiet low tone (mono), at least `apart` seconds apart:
    found by window, placed at the first sample that jumps from the last as only the burst makes it jump."""
    found = []
    size = round(window * RATE)
    for at in np.flatnonzero(levels(samples, frequency, window) >= 0.25):
        if not found or at * window - found[-1] >= apart:
            near = samples[max(0, (at - 1) * size):(at + 1) * size + 1]
            jumps = np.flatnonzero(np.abs(np.diff(near)) >= 0.05)
            found.append((max(0, (at - 1) * size) + (jumps[0] if len(jumps) else size)) / RATE)
    return found


TOLERANCE = 0.05  # the file against the clock, and points of a played signal against each other


def assert_length_fits(samples, tool, end, allowance=0.0):
    """The file holds the time from READY to `end` (less `allowance`, a first fragment's delay), and no more than
    from the start to `end` and the moment the tool takes to act on its line."""
    least = end - tool.ready_at - allowance - TOLERANCE
    most = end - tool.started_at + TOLERANCE + 0.2
    assert least <= duration(samples) <= most, f"{duration(samples):.3f} s in the file; allowed {least:.3f}-{most:.3f}"


def keeps_the_clock(server):
    """PulseAudio's null sink plays a signal on the clock whatever the load; PipeWire's can fall behind on a loaded
    machine, so distances within a played signal are asserted only on PulseAudio (and reported on both)."""
    return server.kind == "pulseaudio"


def figure(text):
    print(f"[figure] {SERVER_KIND}: {text}")


if __name__ == "__main__":  # harness.py KIND COMMAND...: runs COMMAND with a private server of KIND
    import sys
    with SoundServer(sys.argv[1]) as running:
        sys.exit(subprocess.run(sys.argv[2:], env=running.env).returncode)
