#!/usr/bin/python3
"""What each AAC encoder setting costs and how close its decoded audio stays to the source.

For each setting, the same 60 s speech-and-music signal (bench/signal_gen.py) is encoded by the ffmpeg command-line
tool at 192 kb/s, decoded, aligned against the source, and compared:

  SNR            whole-signal signal-to-error ratio, both channels, after alignment (dB; higher is better)
  band SNR       the same ratio inside each critical band (25 bands, 0-20 kHz) from a 2048-point STFT; the table
                 gives the mean over the bands the source fills and the worst band (dB; higher is better)
  LSD            log-spectral distance per band: RMS over frames of the dB difference between decoded and source band
                 power, over frames where the band is in use; mean over bands and worst band (dB; lower is better)
  CPU            CPU seconds (user+sys of the encoding process, from wait4) per minute of audio, less the same
                 command writing to the null muxer without encoding (reading and start-up); the least of the runs,
                 which go round the settings in turn (contention on a busy machine only ever adds CPU time)
  against default  "no worse" when the SNR is no lower, no band's SNR is more than 0.5 dB lower and no band's LSD
                 more than 0.1 dB higher than the default coder's; otherwise the bands where it is worse

  /usr/bin/python3 bench/quality.py [--runs 3] [--out DIR]     prints the table; DIR/quality.md, .csv, .png
"""
import argparse
import csv
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import signal_gen  # noqa: E402

RATE = signal_gen.RATE
SECONDS = 60
SETTINGS = {
    "twoloop (default)": [],
    "fast": ["-aac_coder", "fast"],
    "fast, no PNS": ["-aac_coder", "fast", "-aac_pns", "0"],
    "fast, no IS": ["-aac_coder", "fast", "-aac_is", "0"],
    "fast, no PNS/IS": ["-aac_coder", "fast", "-aac_pns", "0", "-aac_is", "0"],
    "twoloop, no PNS": ["-aac_pns", "0"],
    "anmr": ["-aac_coder", "anmr", "-strict", "-2"],  # marked experimental by FFmpeg
}
# Critical-band edges (Hz), extended to 20 kHz.
BAND_EDGES = [0, 100, 200, 300, 400, 510, 630, 770, 920, 1080, 1270, 1480, 1720, 2000, 2320, 2700, 3150, 3700,
              4400, 5300, 6400, 7700, 9500, 12000, 15500, 20000]
RAW = ["-f", "f32le", "-ar", str(RATE), "-ac", "2"]


def cpu_of(command):
    """Runs `command`; its user+sys CPU seconds from wait4."""
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise RuntimeError(f"{' '.join(command)}: {child.stderr.read().decode().strip()}")
    child.stderr.close()
    return usage.ru_utime + usage.ru_stime


def align(source, decoded):
    """`decoded` shifted to line up with `source` (cross-correlation of the mono sums, within +-4096 frames), and
    both cut to their common length."""
    n = min(len(source), len(decoded), 10 * RATE)
    a = source[:n].sum(axis=1)
    b = decoded[:n].sum(axis=1)
    size = 1 << int(np.ceil(np.log2(2 * n)))
    corr = np.fft.irfft(np.fft.rfft(b, size) * np.conj(np.fft.rfft(a, size)), size)
    lags = np.concatenate([np.arange(0, 4097), np.arange(-4096, 0)])
    lag = int(lags[np.argmax(corr[lags])])
    if lag >= 0:
        decoded = decoded[lag:]
    else:
        source = source[-lag:]
    n = min(len(source), len(decoded))
    return source[:n], decoded[:n], lag


def spectra(x, size=2048, hop=1024):
    window = np.hanning(size)
    frames = (len(x) - size) // hop
    index = np.arange(size)[None, :] + hop * np.arange(frames)[:, None]
    return np.fft.rfft(x[index] * window, axis=1)


def compare(source, decoded):
    error = source - decoded
    snr = 10 * np.log10(np.sum(source**2) / np.sum(error**2))
    freqs = np.fft.rfftfreq(2048, 1 / RATE)
    s = np.concatenate([spectra(source[:, ch]) for ch in range(source.shape[1])])
    d = np.concatenate([spectra(decoded[:, ch]) for ch in range(decoded.shape[1])])
    band_snr, lsd = [], []
    for lo, hi in zip(BAND_EDGES, BAND_EDGES[1:]):
        pick = (freqs >= lo) & (freqs < hi)
        ps = np.sum(np.abs(s[:, pick]) ** 2, axis=1)
        pd = np.sum(np.abs(d[:, pick]) ** 2, axis=1)
        pe = np.sum(np.abs(s[:, pick] - d[:, pick]) ** 2, axis=1)
        band_snr.append(10 * np.log10(ps.sum() / max(pe.sum(), 1e-30)))
        # Frames where the band holds something: within 60 dB of its loudest frame.
        used = ps > ps.max() * 1e-6
        diff = 10 * np.log10((pd[used] + 1e-20) / (ps[used] + 1e-20))
        lsd.append(float(np.sqrt(np.mean(diff**2))) if used.any() else float("nan"))
    return snr, np.array(band_snr), np.array(lsd)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", default="build/bench")
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    with tempfile.TemporaryDirectory(prefix="qfx-quality-") as work:
        work = Path(work)
        source = signal_gen.make(SECONDS)
        raw = work / "source.f32"
        source.astype("<f4").tofile(raw)
        # The source's level in each band decides which bands count (silent bands have no meaningful ratio).
        freqs = np.fft.rfftfreq(2048, 1 / RATE)
        s_power = np.abs(spectra(source[:, 0])) ** 2
        band_level = np.array([s_power[:, (freqs >= lo) & (freqs < hi)].sum()
                               for lo, hi in zip(BAND_EDGES, BAND_EDGES[1:])])
        filled = band_level > band_level.max() * 1e-5

        # CPU: the runs go round every setting in turn, so that a burst of load elsewhere falls on all alike; the
        # least of each setting's runs counts, since contention only ever adds CPU time (cache and memory stalls).
        def encode(options, path):
            return cpu_of(["ffmpeg", "-nostdin", "-v", "error", "-y", *RAW, "-i", str(raw), "-c:a", "aac", "-b:a",
                           "192k", *options, str(path)])

        null = ["ffmpeg", "-nostdin", "-v", "error", *RAW, "-i", str(raw), "-f", "null", "-"]
        cpu = {name: [] for name in ["", *SETTINGS]}
        for run in range(args.runs):
            cpu[""].append(cpu_of(null))
            for name, options in SETTINGS.items():
                cpu[name].append(encode(options, work / "encoded.m4a"))
            print(f"  CPU, run {run + 1}/{args.runs}: done", file=sys.stderr)
        baseline = min(cpu[""])
        rows = []
        for name, options in SETTINGS.items():
            encoded = work / "encoded.m4a"
            encode(options, encoded)
            decoded_path = work / "decoded.f32"
            subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", str(encoded), *RAW, str(decoded_path)],
                           check=True)
            decoded = np.fromfile(decoded_path, dtype="<f4").reshape(-1, 2)
            s, d, lag = align(source, decoded)
            snr, band_snr, lsd = compare(s, d)
            rows.append({
                "setting": name,
                "options": " ".join(options) or "-",
                "cpu_s_per_min": (min(cpu[name]) - baseline) * 60 / SECONDS,
                "snr_db": snr,
                "band_snr_mean_db": float(np.mean(band_snr[filled])),
                "band_snr_worst_db": float(np.min(band_snr[filled])),
                "worst_snr_band": f"{BAND_EDGES[int(np.argmin(np.where(filled, band_snr, np.inf)))]} Hz",
                "lsd_mean_db": float(np.nanmean(lsd[filled])),
                "lsd_worst_db": float(np.nanmax(lsd[filled])),
                "worst_lsd_band": f"{BAND_EDGES[int(np.nanargmax(np.where(filled, lsd, -np.inf)))]} Hz",
                "lag": lag,
                "band_snr": band_snr,
                "lsd": lsd,
            })
            print(f"  {name}: done", file=sys.stderr)

    default = rows[0]
    for r in rows:
        r["verdict"] = verdict(r, default, filled)
    lines = [f"AAC at 192 kb/s, {SECONDS} s speech+music signal, ffmpeg {ffmpeg_version()}; "
             f"CPU: the least of {args.runs} runs",
             "",
             f"| {'setting':<18} | options | CPU s/min | SNR dB | band SNR mean | worst (band)     "
             f"| LSD mean | worst (band)     | against the default |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['setting']:<18} | `{r['options']}` | {r['cpu_s_per_min']:9.2f} | {r['snr_db']:6.1f} "
                     f"| {r['band_snr_mean_db']:13.1f} | {r['band_snr_worst_db']:5.1f} ({r['worst_snr_band']:>8}) "
                     f"| {r['lsd_mean_db']:8.2f} | {r['lsd_worst_db']:5.2f} ({r['worst_lsd_band']:>8}) "
                     f"| {r['verdict']} |")
    if any(r["lag"] != 0 for r in rows):
        lines.append("(residual alignment after the decoder's own priming removal, frames: "
                     + ", ".join(f"{r['setting']} {r['lag']}" for r in rows) + ")")
    print("\n" + "\n".join(lines))
    (out / "quality.md").write_text("\n".join(lines) + "\n")

    with open(out / "quality.csv", "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["setting", "options", "verdict", "cpu_s_per_min", "snr_db", "band_snr_mean_db",
                         "band_snr_worst_db", "lsd_mean_db", "lsd_worst_db"]
                        + [f"band_snr_{lo}" for lo in BAND_EDGES[:-1]] + [f"lsd_{lo}" for lo in BAND_EDGES[:-1]])
        for r in rows:
            writer.writerow([r["setting"], r["options"], r["verdict"]] + [f"{r[k]:.3f}" for k in (
                "cpu_s_per_min", "snr_db", "band_snr_mean_db", "band_snr_worst_db", "lsd_mean_db", "lsd_worst_db")]
                + [f"{v:.2f}" for v in r["band_snr"]] + [f"{v:.3f}" for v in r["lsd"]])
    chart(rows, filled, out / "quality.png")
    print(f"\n{out / 'quality.md'}, {out / 'quality.csv'}, {out / 'quality.png'}")


def verdict(row, default, filled):
    """Whether `row` is no worse than the default coder by every measure, or where it is worse."""
    if row is default:
        return "(reference)"
    worse = []
    if row["snr_db"] < default["snr_db"]:
        worse.append(f"SNR {row['snr_db'] - default['snr_db']:+.1f} dB")
    for name, key, limit, sign in (("band SNR", "band_snr", 0.5, -1), ("LSD", "lsd", 0.1, 1)):
        delta = (row[key] - default[key]) * sign
        bad = [i for i in range(len(BAND_EDGES) - 1) if filled[i] and delta[i] > limit]
        if bad:
            worse.append(f"{name} {BAND_EDGES[bad[0]]}-{BAND_EDGES[bad[-1] + 1]} Hz "
                         f"(up to {sign * max(delta[bad]):+.1f} dB)")
    return "worse: " + "; ".join(worse) if worse else "no worse"


def ffmpeg_version():
    line = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    return line.split()[2] if len(line.split()) > 2 else "?"


def chart(rows, filled, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    centres = [np.sqrt(max(lo, 50) * hi) for lo, hi in zip(BAND_EDGES, BAND_EDGES[1:])]
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 7), sharex=True)
    for r in rows:
        top.semilogx(np.array(centres)[filled], r["band_snr"][filled], marker=".", label=r["setting"])
        bottom.semilogx(np.array(centres)[filled], r["lsd"][filled], marker=".", label=r["setting"])
    top.set_ylabel("band SNR (dB, higher is better)")
    bottom.set_ylabel("log-spectral distance (dB, lower is better)")
    bottom.set_xlabel("critical band centre (Hz)")
    top.set_title("AAC 192 kb/s: decoded against source, per critical band")
    top.legend(fontsize=8)
    for ax in (top, bottom):
        ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=90)


if __name__ == "__main__":
    main()
