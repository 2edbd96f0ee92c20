#!/usr/bin/python3
"""Plants the faults listed in scripts/mutations.txt one at a time, rebuilds, runs the fast tests and prints which
faults they caught. Not part of the test command: a fault takes from seconds (caught by a unit test) to
about seven minutes (missed: every fast test runs).

  /usr/bin/python3 scripts/mutate.py [--build DIR] [--timeout SECONDS] [--only N,M,...]

The build directory must be configured already. Every source is put back as it was, also on Ctrl-C."""
import argparse
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The fast tests: all but the long recording and the second server's runs, quickest first.
SELECTIONS = [["-L", "unit", "-LE", "lint", "-j", "2"], ["-R", "^backend_pulseaudio$"],
              ["-L", "e2e", "-LE", "long", "-R", "pulseaudio$"]]


def faults():
    for number, line in enumerate((ROOT / "scripts/mutations.txt").read_text().splitlines(), 1):
        if line.strip() and not line.startswith("#"):
            m = re.fullmatch(r"([^:@]+)(?:@(\d+))?: (.+?) =>(?: (.*))?", line)
            if not m:
                sys.exit(f"mutations.txt:{number}: cannot read {line!r}")
            yield m[1], int(m[2] or 1), m[3], m[4] or ""


def planted(path, occurrence, original, fault):
    text = path.read_text()
    at = -1
    for _ in range(occurrence):
        at = text.find(original, at + 1)
        if at < 0:
            return None
    return text[:at] + fault + text[at + len(original):]


def run(command, timeout):
    # A group of its own, so that a hung test goes with the ctest that ran it.
    child = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
    try:
        return child.wait(timeout) == 0
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    # Past the fast tests' own time on a loaded machine: a run cut short would count a missed fault as caught.
    parser.add_argument("--timeout", type=int, default=1200, help="for the tests of one fault")
    parser.add_argument("--only", default="", help="fault numbers, comma separated")
    args = parser.parse_args()
    chosen = {int(n) for n in args.only.split(",") if n}
    listed = list(faults())
    for file, occurrence, original, fault in listed:
        if planted(ROOT / file, occurrence, original, fault) is None:
            sys.exit(f"{file}: no occurrence {occurrence} of {original!r}")
    build = ["cmake", "--build", args.build]
    if not run(build, 1800):
        sys.exit("the unchanged tree does not build")
    tests = [["ctest", "--test-dir", args.build, "--timeout", "300", "--stop-on-failure", *s] for s in SELECTIONS]
    if not all(run(command, 900) for command in tests):
        sys.exit("the fast tests fail on the unchanged tree")
    caught = 0
    tried = 0
    print(f"{'#':>3} {'result':8} {'secs':>5}  fault")
    for number, (file, occurrence, original, fault) in enumerate(listed, 1):
        if chosen and number not in chosen:
            continue
        path = ROOT / file
        kept = path.read_text()
        began = time.monotonic()
        try:
            path.write_text(planted(path, occurrence, original, fault))
            if not run(build, 900):
                result = "no build"
            else:
                deadline = began + args.timeout
                passed = all(run(command, max(1, deadline - time.monotonic())) for command in tests)
                result = "missed" if passed else "caught"
        finally:
            path.write_text(kept)
        tried += result != "no build"
        caught += result == "caught"
        print(f"{number:>3} {result:8} {time.monotonic() - began:5.0f}  {file}: {original} => {fault}", flush=True)
    run(build, 1800)
    print(f"caught {caught} of {tried}")


main()
