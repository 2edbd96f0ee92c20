#!/usr/bin/python3
"""The tool beside ffmpeg and GStreamer, recording the same signal from a private PulseAudio server.

Each recorder is started, awaited until its record stream exists on the server (and, for the tool, until READY),
left to record, stopped the way it is meant to be stopped (the tool: a line on standard input; ffmpeg: "q";
gst-launch-1.0 -e: SIGINT), and reaped with wait4. The runs interleave the recorders so that the machine's load
falls on all alike; each figure is the median over the runs. Figures:

  CPU s/min       user+sys CPU of the whole process (wait4), per minute recorded
  CPU s/min, run  the same over the recording only (from /proc/PID/stat before and after), without start and stop
  private MB      Private_Dirty of /proc/PID/smaps_rollup just before the stop
  peak RSS MB     ru_maxrss from wait4
  wakeups/s       voluntary context switches of all threads while recording (/proc/PID/task/*/status), per second
  exec to READY   the tool's READY line (ms from exec)
  exec to running the record stream's appearance on the server (ms from exec; polled every 10 ms)
  stop to exit    ms from the stop request to the process's end
  file - recorded the file's duration (ffprobe) less the time from running (the tool: READY) to the stop request

The floor (bench/floor.cpp: the same libraries loaded, nothing done) is measured for memory and exec to READY;
so are the same program with the AAC encoder opened and run for two seconds ("floor + encoder"), and with libpulse
alone.

  /usr/bin/python3 bench/compare.py --tool build/qfx_system_audio --floor build/bench/qfx_floor \
      --floor-pulse build/bench/qfx_floor_pulse [--seconds 20] [--runs 3] [--out build/bench] [--perf]

Writes OUT/compare.md (the table), OUT/compare.png (the chart), OUT/compare.json (every run), OUT/threads.txt (the
tool's threads), OUT/libraries.txt (memory per shared library), and with --perf OUT/perf.txt (a CPU profile of one
more recording by the tool).
"""
import argparse
import json
import os
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import signal_gen  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SINK = "qfx_null"
TICK = os.sysconf("SC_CLK_TCK")


def now():
    return time.monotonic()


def sound_server(directory):
    """Starts the private server; its environment."""
    out = subprocess.run(["bash", str(ROOT / "scripts/sound-server.sh"), "start", "pulseaudio", str(directory)],
                         capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        sys.exit(f"compare: the sound server did not start: {out.stderr.strip()}")
    env = dict(os.environ)
    for line in out.stdout.splitlines():
        match = re.match(r"export (\w+)=(.*)", line)
        if match:
            env[match.group(1)] = subprocess.run(["bash", "-c", f"printf %s {match.group(2)}"], capture_output=True,
                                                 text=True).stdout
    return env


def record_streams(env):
    out = subprocess.run(["pactl", "list", "short", "source-outputs"], env=env, capture_output=True, text=True,
                         timeout=5)
    return len(out.stdout.splitlines())


def threads(pid):
    """{tid: (cpu seconds, voluntary switches, involuntary switches)} of the live threads."""
    result = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            stat = (task / "stat").read_text()
            status = (task / "status").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        cpu = (int(fields[11]) + int(fields[12])) / TICK
        vol = int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status, re.M).group(1))
        invol = int(re.search(r"^nonvoluntary_ctxt_switches:\s+(\d+)", status, re.M).group(1))
        result[int(task.name)] = (cpu, vol, invol)
    return result


def process_cpu(pid):
    """CPU seconds of the whole process, its ended threads included."""
    stat = Path(f"/proc/{pid}/stat").read_text()
    fields = stat[stat.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def smaps_rollup(pid):
    text = Path(f"/proc/{pid}/smaps_rollup").read_text()
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"^(\w+):\s+(\d+) kB", text, re.M)}


def smaps_by_file(pid):
    return parse_smaps(Path(f"/proc/{pid}/smaps").read_text())


def parse_smaps(text):
    """{mapped file: [Rss kB, Private_Dirty kB]} from the text of /proc/PID/smaps"""
    result = {}
    name = None
    for line in text.splitlines():
        head = re.match(r"^[0-9a-f]+-[0-9a-f]+ \S+ \S+ \S+ \S+\s*(.*)$", line)
        if head:
            name = head.group(1) or "[anonymous]"
            result.setdefault(name, [0, 0])
            continue
        field = re.match(r"^(Rss|Private_Dirty):\s+(\d+) kB", line)
        if field and name is not None:
            result[name][0 if field.group(1) == "Rss" else 1] += int(field.group(2))
    return result


def reap(pid, timeout):
    """wait4 with a bound: (exit code, moment); the process is killed past the bound."""
    deadline = now() + timeout
    while True:
        done, status, _ = os.wait4(pid, os.WNOHANG)
        if done == pid:
            return os.waitstatus_to_exitcode(status), now()
        if now() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.wait4(pid, 0)
            return None, now()
        time.sleep(0.001)


# Each program runs under /usr/bin/time, which reports its child's rusage from wait4. Spawned from this (large)
# Python process directly, the child's peak RSS would include this process's, which the child's address space
# carries until its exec.
TIME_FORMAT = "%U %S %M %w %c"


def timed(command, report):
    return ["/usr/bin/time", "-f", TIME_FORMAT, "-o", str(report), *command]


def usage_of(report):
    """(CPU seconds, peak RSS kB, voluntary switches, involuntary switches) as /usr/bin/time wrote them."""
    user, system, rss, vol, invol = report.read_text().strip().splitlines()[-1].split()
    return float(user) + float(system), int(rss), int(vol), int(invol)


def program_pid(launcher):
    """The pid of the program /usr/bin/time runs (its one child)."""
    deadline = now() + 5
    children = Path(f"/proc/{launcher}/task/{launcher}/children")
    while now() < deadline:
        listed = children.read_text().split() if children.exists() else []
        if listed:
            return int(listed[0])
        time.sleep(0.0005)
    raise RuntimeError("the measured program did not start")


def file_seconds(path):
    if not path.exists():
        return None
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", str(path)],
                         capture_output=True, text=True, timeout=30)
    try:
        return float(out.stdout.strip())
    except ValueError:
        return None


class Recorder:
    def __init__(self, name, command, stop, ready_line=False, streams=True):
        self.name, self.command, self.stop, self.ready_line, self.streams = name, command, stop, ready_line, streams


def measure(recorder, output, seconds, env, work, perf=None):
    """One recording; its figures."""
    if output is not None and output.exists():
        output.unlink()
    # The previous recorder's stream must be gone, or the poll below would see it.
    deadline = now() + 5
    while record_streams(env) != 0 and now() < deadline:
        time.sleep(0.05)
    err = open(work / f"{recorder.name}.err", "wb")
    report = work / f"{recorder.name}.time"
    start = now()
    launcher = subprocess.Popen(timed(recorder.command(output), report), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE if recorder.ready_line else subprocess.DEVNULL, stderr=err,
                                env=env)
    figures = {}
    ready = None
    pid = None
    try:
        pid = program_pid(launcher.pid)
        if recorder.ready_line:
            readable, _, _ = select.select([launcher.stdout], [], [], 15)
            line = launcher.stdout.readline() if readable else b""
            if line != b"READY\n":
                raise RuntimeError(f"{recorder.name} did not start: {(work / f'{recorder.name}.err').read_text()}")
            ready = now()
            figures["exec_to_ready_ms"] = (ready - start) * 1000
        running = None
        if recorder.streams:
            deadline = now() + 15
            while record_streams(env) == 0:
                if now() > deadline or launcher.poll() is not None:
                    raise RuntimeError(f"{recorder.name} never recorded: {(work / f'{recorder.name}.err').read_text()}")
                time.sleep(0.01)
            running = now()
            figures["exec_to_running_ms"] = (running - start) * 1000
        # The tool's file starts just before READY; the others' streams are seen by polling the server.
        began = ready if ready is not None else running
        before, cpu_before = threads(pid), process_cpu(pid)
        profiler = None
        if perf is not None:
            profiler = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "999", "-o", str(perf),
                                         "-p", str(pid)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(max(0.0, began + seconds - now()))
        if profiler is not None:
            profiler.send_signal(signal.SIGINT)
            profiler.wait(timeout=60)
        after, cpu_after = threads(pid), process_cpu(pid)
        memory = smaps_rollup(pid)
        figures["libraries"] = smaps_by_file(pid)
        stop = now()
        recorder.stop(launcher, pid)
        code, ended = reap(launcher.pid, 15)
        if code is None:
            raise RuntimeError(f"{recorder.name} did not exit within 15 s of the stop request")
        launcher.returncode = code
    finally:
        end_abandoned(launcher, pid)
        err.close()
    cpu, peak, vol, _ = usage_of(report)
    recorded = stop - began
    figures.update({
        "exit": code,
        "recorded_s": recorded,
        "cpu_s_per_min": cpu * 60 / recorded,
        "cpu_run_s_per_min": (cpu_after - cpu_before) * 60 / recorded,
        "private_mb": memory.get("Private_Dirty", 0) / 1024,
        "pss_mb": memory.get("Pss", 0) / 1024,
        "peak_rss_mb": peak / 1024,
        "wakeups_per_s": sum(after[t][1] - before.get(t, (0, 0, 0))[1] for t in after) / recorded,
        "wakeups_whole_per_s": vol / (ended - start),
        "stop_to_exit_ms": (ended - stop) * 1000,
        "threads": {t: [after[t][0] - before.get(t, (0, 0, 0))[0], (after[t][1] - before.get(t, (0, 0, 0))[1]),
                        after[t][2] - before.get(t, (0, 0, 0))[2]] for t in after},
    })
    if output is not None:
        length = file_seconds(output)
        figures["file_minus_recorded_ms"] = None if length is None else (length - recorded) * 1000
    return figures


def measure_floor(name, command, env, work, hold=0.5):
    err = open(work / f"{name}.err", "wb")
    report = work / f"{name}.time"
    start = now()
    launcher = subprocess.Popen(timed(command, report), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=err, env=env)
    pid = None
    try:
        pid = program_pid(launcher.pid)
        readable, _, _ = select.select([launcher.stdout], [], [], 15)
        if not readable or launcher.stdout.readline() != b"READY\n":
            raise RuntimeError(f"{' '.join(command)} did not start: {(work / f'{name}.err').read_text()}")
        ready = now()
        time.sleep(hold)
        memory = smaps_rollup(pid)
        libraries = smaps_by_file(pid)
        launcher.stdin.write(b"\n")
        launcher.stdin.flush()
        code, _ = reap(launcher.pid, 15)
        if code is None:
            raise RuntimeError(f"{' '.join(command)} did not exit within 15 s of its line")
        launcher.returncode = code
    finally:
        end_abandoned(launcher, pid)
        err.close()
    return {"exec_to_ready_ms": (ready - start) * 1000, "private_mb": memory.get("Private_Dirty", 0) / 1024,
            "pss_mb": memory.get("Pss", 0) / 1024, "peak_rss_mb": usage_of(report)[1] / 1024,
            "libraries": libraries}


def end_abandoned(launcher, pid):
    """After a failed or timed-out measurement (no exit code recorded): the measured program and its /usr/bin/time
    are killed. The program first: killing /usr/bin/time alone would leave it running."""
    if launcher.returncode is not None:
        return
    if pid is not None:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if launcher.poll() is None:
        launcher.kill()
        launcher.wait(timeout=10)


def line_stop(launcher, _pid):
    launcher.stdin.write(b"\n")
    launcher.stdin.flush()


def q_stop(launcher, _pid):
    launcher.stdin.write(b"q")
    launcher.stdin.flush()


def sigint_stop(_launcher, pid):
    os.kill(pid, signal.SIGINT)


ROWS = [  # key, label, format
    ("cpu_s_per_min", "CPU s per recorded minute (whole process)", "{:.3f}"),
    ("cpu_run_s_per_min", "CPU s per minute while recording", "{:.3f}"),
    ("private_mb", "private dirty memory before the stop, MB", "{:.1f}"),
    ("pss_mb", "proportional set size before the stop, MB", "{:.1f}"),
    ("peak_rss_mb", "peak RSS, MB", "{:.1f}"),
    ("wakeups_per_s", "wakeups (voluntary switches) per second while recording", "{:.0f}"),
    ("wakeups_whole_per_s", "voluntary switches per second, exec to exit", "{:.0f}"),
    ("exec_to_ready_ms", "exec to READY, ms", "{:.1f}"),
    ("exec_to_running_ms", "exec to record stream on the server, ms", "{:.0f}"),
    ("stop_to_exit_ms", "stop to exit, ms", "{:.0f}"),
    ("file_minus_recorded_ms", "file length less time recorded, ms", "{:+.0f}"),
]


def median_of(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def table(results, names, seconds, runs, starts):
    reference = "ffmpeg"
    head = ["", *names] + [f"{n}/{reference}" for n in names if n != reference]
    lines = [f"Median of {runs} runs, {seconds:g} s each, private PulseAudio null sink; "
             f"{os.uname().machine}, {os.cpu_count()} cores",
             "", "| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    medians = {}
    for key, label, fmt in ROWS:
        row = [label]
        for name in names:
            value = median_of(results[name], key)
            medians.setdefault(name, {})[key] = value
            row.append("—" if value is None else fmt.format(value))
        base = medians[reference][key]
        for name in names:
            if name == reference:
                continue
            value = medians[name][key]
            ok = value is not None and base not in (None, 0) and key != "file_minus_recorded_ms"
            row.append(f"{value / base:.2f}" if ok else "")
        lines.append("| " + " | ".join(row) + " |")
    count = max(len(v) for v in starts.values())
    for key, label in (("exec_to_ready_ms", f"exec to READY, ms, {count} short starts"),
                       ("stop_to_exit_ms", f"stop to exit, ms, {count} short recordings")):
        row = [label]
        for name in names:
            value = median_of(starts.get(name, []), key)
            row.append("—" if value is None else f"{value:.1f}")
            medians[name][key + "_starts"] = value
        lines.append("| " + " | ".join(row + [""] * (len(head) - len(row))) + " |")
    lines.append("")
    lines.append("Short starts, exec to READY (ms), in order: " + "; ".join(
        f"{name} " + " ".join(f"{s['exec_to_ready_ms']:.0f}" for s in starts[name]) for name in starts if starts[name]))
    return "\n".join(lines), medians


def chart(medians, names, path, seconds, runs):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keys = [("cpu_s_per_min", "CPU s/min"), ("cpu_run_s_per_min", "CPU s/min\nrecording"),
            ("private_mb", "private MB"), ("peak_rss_mb", "peak RSS MB"), ("wakeups_per_s", "wakeups/s")]
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5), gridspec_kw={"width_ratios": [3, 1.4]})
    width = 0.8 / len(names)
    for i, name in enumerate(names):
        ratios, labels = [], []
        for key, _ in keys:
            value, base = medians[name].get(key), medians["ffmpeg"].get(key)
            ratios.append(value / base if value is not None and base else 0)
            labels.append("" if value is None else f"{value:.3g}")
        xs = [k + (i - (len(names) - 1) / 2) * width for k in range(len(keys))]
        bars = left.bar(xs, ratios, width, label=name)
        for bar, label in zip(bars, labels):
            left.annotate(label, (bar.get_x() + bar.get_width() / 2, bar.get_height()), ha="center", va="bottom",
                          fontsize=7)
    left.axhline(1, color="grey", lw=0.8)
    # The goals against ffmpeg: half its CPU and memory, a quarter of its wakeups.
    for k, (key, _) in enumerate(keys):
        goal = 0.25 if key == "wakeups_per_s" else 0.5
        left.hlines(goal, k - 0.45, k + 0.45, colors="black", linestyles="dashed", lw=0.8,
                    label="goal" if k == 0 else None)
    left.set_xticks(range(len(keys)), [label for _, label in keys])
    left.set_ylabel("against ffmpeg (= 1); labels: absolute")
    left.set_title(f"cost while recording (median of {runs} runs, {seconds:g} s)")
    left.legend(fontsize=8)
    times = [("exec_to_ready_ms", "exec to\nREADY"), ("exec_to_running_ms", "exec to\nrunning"),
             ("stop_to_exit_ms", "stop to\nexit")]
    for i, name in enumerate(names):
        # READY from the short starts where there are some (it varies most); the rest from the long runs, alike.
        values = [(medians[name].get(k + "_starts") if k == "exec_to_ready_ms" else None) or medians[name].get(k)
                  or 0 for k, _ in times]
        xs = [k + (i - (len(names) - 1) / 2) * width for k in range(len(times))]
        bars = right.bar(xs, values, width, label=name)
        for bar, value in zip(bars, values):
            if value:
                right.annotate(f"{value:.0f}", (bar.get_x() + bar.get_width() / 2, bar.get_height()), ha="center",
                               va="bottom", fontsize=7)
    right.set_xticks(range(len(times)), [label for _, label in times])
    right.set_ylabel("ms")
    right.set_yscale("log")
    right.set_title("start and stop")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=str(ROOT / "build/qfx_system_audio"))
    parser.add_argument("--floor", default=str(ROOT / "build/bench/qfx_floor"))
    parser.add_argument("--floor-pulse", default=str(ROOT / "build/bench/qfx_floor_pulse"))
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", default=str(ROOT / "build/bench"))
    parser.add_argument("--perf", action="store_true", help="profile one more recording by the tool with perf")
    parser.add_argument("--starts", type=int, default=9, help="short recordings for start and stop times")
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    recorders = [
        Recorder("ours", lambda o: [args.tool, str(o)], line_stop, ready_line=True),
        Recorder("ffmpeg", lambda o: ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "pulse", "-i",
                                      f"{SINK}.monitor", "-c:a", "aac", "-b:a", "192k", "-y", str(o)], q_stop),
        Recorder("gstreamer", lambda o: ["gst-launch-1.0", "-e", "pulsesrc", f"device={SINK}.monitor", "!",
                                         "audioconvert", "!", "avenc_aac", "bitrate=192000", "!", "mp4mux", "!",
                                         "filesink", f"location={o}"], sigint_stop),
    ]
    floors = {"floor": [args.floor], "floor + encoder": [args.floor, "encode"],
              "floor, libpulse only": [args.floor_pulse]}
    names = [r.name for r in recorders] + list(floors)
    results = {name: [] for name in names}
    starts = {name: [] for name in ["ours", "floor", "floor, libpulse only"]}

    with tempfile.TemporaryDirectory(prefix="qfx-compare-") as work:
        work = Path(work)
        (work / "server").mkdir()
        env = sound_server(work / "server")
        player = None
        try:
            signal_gen.write_wav16(work / "signal.wav", signal_gen.make(20))
            # The same signal, looped, for every recorder: the sink never idles.
            player = subprocess.Popen(["bash", "-c", f"while :; do paplay {work / 'signal.wav'} || sleep 0.1; done"],
                                      env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, start_new_session=True)
            time.sleep(1.5)
            for run in range(args.runs):
                for recorder in recorders:
                    print(f"run {run + 1}/{args.runs}: {recorder.name}", file=sys.stderr)
                    results[recorder.name].append(
                        measure(recorder, work / f"{recorder.name}.m4a", args.seconds, env, work))
                for name, command in floors.items():
                    figures = measure_floor(name.replace(" ", "_"), command, env, work)
                    if name == "floor + encoder":
                        figures["exec_to_ready_ms"] = None  # it encodes two seconds before READY
                    results[name].append(figures)
            # Start and stop times vary most under load: many short recordings, interleaved with the floors.
            for start in range(args.starts):
                print(f"start {start + 1}/{args.starts}", file=sys.stderr)
                figures = measure(recorders[0], work / "short.m4a", 1, env, work)
                starts["ours"].append({k: figures[k] for k in ("exec_to_ready_ms", "stop_to_exit_ms")})
                for name, command in floors.items():
                    if name == "floor + encoder":
                        continue
                    figures = measure_floor(name.replace(" ", "_"), command, env, work, hold=0.2)
                    starts[name].append({"exec_to_ready_ms": figures["exec_to_ready_ms"]})
            if args.perf:
                print("profiling the tool", file=sys.stderr)
                data = work / "perf.data"
                profiled = measure(recorders[0], work / "ours.m4a", args.seconds, env, work, perf=data)
                profile(data, profiled, out / "perf.txt")
        finally:
            if player is not None:
                os.killpg(player.pid, signal.SIGTERM)
                player.wait(timeout=10)
            subprocess.run(["bash", str(ROOT / "scripts/sound-server.sh"), "stop", str(work / "server")],
                           timeout=30, check=False)

    text, medians = table(results, names, args.seconds, args.runs, starts)
    print(text)
    (out / "compare.md").write_text(text + "\n")
    chart(medians, names, out / "compare.png", args.seconds, args.runs)
    write_threads(results["ours"], out / "threads.txt")
    write_libraries(results, out / "libraries.txt")
    for runs in results.values():
        for r in runs:
            r.pop("libraries", None)
    (out / "compare.json").write_text(json.dumps({"runs": results, "starts": starts}, indent=1))
    print(f"\n{out / 'compare.md'}, {out / 'compare.png'}, {out / 'threads.txt'}, {out / 'libraries.txt'}")


def write_threads(runs, path):
    """Per thread of the tool, in order of creation: CPU and switches per second while recording, per run."""
    lines = ["The tool's threads while recording (in order of creation; per second of recording)", ""]
    for i, run in enumerate(runs):
        lines.append(f"run {i + 1}: {len(run['threads'])} threads")
        for tid in sorted(run["threads"], key=int):
            cpu, vol, invol = run["threads"][tid]
            lines.append(f"  thread {tid}: CPU {cpu / run['recorded_s'] * 1000:6.1f} ms/s, "
                         f"voluntary {vol / run['recorded_s']:6.1f}/s, involuntary {invol / run['recorded_s']:5.1f}/s")
    path.write_text("\n".join(lines) + "\n")


def write_libraries(results, path):
    """Resident and private memory per mapped file: the floor beside the tool (last run)."""
    floor = results["floor"][-1]["libraries"]
    ours = results["ours"][-1]["libraries"]
    names = sorted(set(floor) | set(ours), key=lambda n: -max(floor.get(n, [0])[0], ours.get(n, [0])[0]))
    lines = [f"{'mapping':<58} {'floor Rss':>9} {'floor dirty':>11} {'ours Rss':>9} {'ours dirty':>10}  (kB)"]
    for n in names:
        f, o = floor.get(n, [0, 0]), ours.get(n, [0, 0])
        lines.append(f"{n[-58:]:<58} {f[0]:9d} {f[1]:11d} {o[0]:9d} {o[1]:10d}")
    total_f = [sum(v[i] for v in floor.values()) for i in (0, 1)]
    total_o = [sum(v[i] for v in ours.values()) for i in (0, 1)]
    lines.append(f"{'total':<58} {total_f[0]:9d} {total_f[1]:11d} {total_o[0]:9d} {total_o[1]:10d}")
    lines += ["", "By kind (kB):", f"{'kind':<58} {'floor Rss':>9} {'floor dirty':>11} {'ours Rss':>9} "
              f"{'ours dirty':>10} {'files':>5}"]
    for kind, members in group_libraries(set(floor) | set(ours)).items():
        f = [sum(floor.get(n, [0, 0])[i] for n in members) for i in (0, 1)]
        o = [sum(ours.get(n, [0, 0])[i] for n in members) for i in (0, 1)]
        lines.append(f"{kind:<58} {f[0]:9d} {f[1]:11d} {o[0]:9d} {o[1]:10d} {len(members):5d}")
    path.write_text("\n".join(lines) + "\n")


# What each shared library is there for, by name: FFmpeg's own, what its other codecs and formats pull in, and what
# the tool needs besides.
KINDS = [
    ("FFmpeg (avcodec, avformat, avutil, swresample)", r"/libav(codec|format|util)\.|/libswresample\."),
    ("PulseAudio client (pulse, pulsecommon, dbus)", r"/libpulse|/libdbus-1\."),
    ("C and C++ runtime, loader", r"/lib(c|m|stdc\+\+|gcc_s)\.so|/ld-linux"),
    ("other codecs (x264, x265, vpx, aom, dav1d, rav1e, ...)",
     r"/lib(x26[45]|vpx|aom|dav1d|rav1e|SvtAv1|xvidcore|theora|openjp2|jxl|webp|zvbi|va|vdpau|mfx|OpenCL|drm|"
     r"hwy|lcms2|snappy|gsm|codec2|shine|twolame|mp3lame|speex|opus|vorbis|ogg|soxr|lzma|bz2|z\.so|gomp|"
     r"numa|X11|Xau|Xdmcp|xcb|Xext|Xfixes|brotli)"),
    ("SVG and graphics (rsvg, cairo, glib, xml2, icu, ...)",
     r"/lib(rsvg|cairo|pango|glib|gobject|gio|gmodule|freetype|fontconfig|harfbuzz|pixman|png|gdk_pixbuf|fribidi|"
     r"thai|datrie|graphite|xml2|icu|expat|ffi|pcre|mount|blkid|selinux|uuid|jpeg|tiff|jbig|deflate|Lerc|zstd|"
     r"xrender|Xrender|sharpyuv)"),
    ("network, crypto (gnutls, ssl, srt, ssh, zmq, krb5, ...)",
     r"/lib(gnutls|ssl|crypto|srt|ssh|zmq|rabbitmq|rist|bluray|gme|openmpt|chromaprint|krb5|k5crypto|gssapi|"
     r"com_err|keyutils|krb5support|gcrypt|gpg-error|p11|tasn1|nettle|hogweed|gmp|idn2|unistring|sodium|pgm|"
     r"norm|mbedcrypto|udfread|mpg123|systemd|lz4|cap|sndfile|FLAC|asyncns|apparmor|wrap|nsl|resolv|"
     r"mbed|avahi|gcc_s)"),
]


def group_libraries(names):
    groups = {kind: [] for kind, _ in KINDS}
    groups["other shared libraries"] = []
    groups["heap, stacks, anonymous"] = []
    for name in names:
        if not name.startswith("/"):
            groups["heap, stacks, anonymous"].append(name)
            continue
        for kind, pattern in KINDS:
            if re.search(pattern, name):
                groups[kind].append(name)
                break
        else:
            groups["other shared libraries"].append(name)
    return groups


def profile(data, figures, path):
    """perf's view of one recording: by thread, by library, and the hottest functions."""
    def report(*options):
        done = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--no-children", "--percent-limit",
                               "0.7", *options], capture_output=True, text=True, timeout=300)
        return "\n".join(line for line in (done.stdout + done.stderr).splitlines()
                         if line.strip() and not line.startswith("# ") and line != "#")
    text = [f"perf record -e cpu-clock -F 999 over {figures['recorded_s']:.1f} s of recording by the tool",
            f"(CPU per minute in that run: {figures['cpu_run_s_per_min']:.3f} s; "
            f"wakeups {figures['wakeups_per_s']:.0f}/s)", "",
            "=== by thread (tid:command) ===", report("--sort", "pid"),
            "=== by thread and library ===", report("--sort", "pid,dso"),
            "=== by function ===", report("--sort", "dso,sym")]
    path.write_text("\n".join(text))


if __name__ == "__main__":
    main()
