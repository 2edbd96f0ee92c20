"""The benchmark's own arithmetic: alignment, the fidelity measures and their verdict, the test signal, and the
parsing of what the kernel and /usr/bin/time report. Run: /usr/bin/python3 -m pytest bench/"""
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare  # noqa: E402
import quality  # noqa: E402
import signal_gen  # noqa: E402

RATE = signal_gen.RATE


@pytest.fixture(scope="module")
def source():
    return signal_gen.make(4).astype(np.float64)


def test_the_signal_is_deterministic_stereo_and_fills_the_spectrum(source):
    again = signal_gen.make(4).astype(np.float64)
    assert np.array_equal(source, again)
    assert not np.array_equal(signal_gen.make(4, seed=14), again)
    assert source.shape == (4 * RATE, 2)
    assert 0.85 < np.max(np.abs(source)) <= 0.9
    assert not np.allclose(source[:, 0], source[:, 1])  # a stereo field, not two copies
    # Music alone lies past 7 s of each cycle: check the speech part, which starts the signal, and the whole.
    spectrum = np.abs(np.fft.rfft(source[:, 1])) ** 2
    freqs = np.fft.rfftfreq(len(source), 1 / RATE)
    for lo, hi in ((50, 300), (300, 3000), (3000, 8000), (8000, 16000)):
        assert spectrum[(freqs >= lo) & (freqs < hi)].sum() > spectrum.sum() * 1e-5, (lo, hi)


@pytest.mark.parametrize("shift", [0, 1, 1024, 2112, -7, -300])
def test_alignment_finds_the_shift_and_cuts_to_the_common_length(source, shift):
    if shift >= 0:
        decoded = np.concatenate([np.zeros((shift, 2)), source])
    else:
        decoded = source[-shift:]
    s, d, lag = quality.align(source, decoded)
    assert lag == shift
    assert len(s) == len(d)
    assert np.array_equal(s, d)


def test_snr_and_band_measures_place_an_error_where_it_was_made(source):
    rng = np.random.default_rng(1)
    noisy = source + rng.standard_normal(source.shape) * np.sqrt(np.mean(source**2)) * 10 ** (-30 / 20)
    snr, band_snr, lsd = quality.compare(source, noisy)
    assert snr == pytest.approx(30, abs=0.2)

    # Everything above 8 kHz removed: the bands above lose, the bands below keep their fidelity.
    spectrum = np.fft.rfft(source, axis=0)
    spectrum[np.fft.rfftfreq(len(source), 1 / RATE) >= 8000] = 0
    cut = np.fft.irfft(spectrum, len(source), axis=0)
    _, band_snr, lsd = quality.compare(source, cut)
    edges = np.array(quality.BAND_EDGES[:-1])
    assert np.all(band_snr[(edges >= 300) & (edges < 6400)] > 40)
    assert np.all(band_snr[edges >= 9500] < 1)
    assert np.all(lsd[(edges >= 300) & (edges < 6400)] < 0.1)
    assert np.all(lsd[edges >= 9500] > 10)


def row(snr=27.0, band_delta=None, lsd_delta=None):
    bands = len(quality.BAND_EDGES) - 1
    band_snr = np.full(bands, 20.0) + (band_delta if band_delta is not None else 0)
    lsd = np.full(bands, 0.5) + (lsd_delta if lsd_delta is not None else 0)
    return {"snr_db": snr, "band_snr": band_snr, "lsd": lsd}


def one_band(index, value):
    delta = np.zeros(len(quality.BAND_EDGES) - 1)
    delta[index] = value
    return delta


@pytest.mark.parametrize("candidate, expected", [
    (row(), "no worse"),
    (row(snr=28.0, band_delta=one_band(3, -0.5), lsd_delta=one_band(3, 0.1)), "no worse"),  # at the margins
    (row(snr=26.9), "worse: SNR -0.1 dB"),
    (row(band_delta=one_band(20, -0.6)), "worse: band SNR 6400-7700 Hz (up to -0.6 dB)"),
    (row(lsd_delta=one_band(0, 0.2)), "worse: LSD 0-100 Hz (up to +0.2 dB)"),
    (row(band_delta=one_band(24, -3.0)), None),  # an unused band does not count
])
def test_the_verdict_against_the_default(candidate, expected):
    default = row()
    filled = np.ones(len(quality.BAND_EDGES) - 1, dtype=bool)
    filled[24] = False
    assert quality.verdict(default, default, filled) == "(reference)"
    assert quality.verdict(candidate, default, filled) == (expected or "no worse")


def test_time_report_is_read_after_a_signal_line(tmp_path):
    report = tmp_path / "time"
    report.write_text("Command terminated by signal 2\n0.52 0.11 35320 2210 140\n")
    cpu, rss, vol, invol = compare.usage_of(report)
    assert cpu == pytest.approx(0.63)
    assert (rss, vol, invol) == (35320, 2210, 140)


def test_smaps_are_summed_per_file_and_the_anonymous_kept_apart():
    text = """\
55d0c0a00000-55d0c0a01000 r--p 00000000 08:01 123  /usr/lib/libx.so
Rss:                   8 kB
Private_Dirty:         0 kB
55d0c0a01000-55d0c0a03000 rw-p 00001000 08:01 123  /usr/lib/libx.so
Rss:                   8 kB
Private_Dirty:         4 kB
7f0000000000-7f0000100000 rw-p 00000000 00:00 0
Rss:                 100 kB
Private_Dirty:       100 kB
7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0                          [stack]
Rss:                  16 kB
Private_Dirty:        16 kB
"""
    assert compare.parse_smaps(text) == {"/usr/lib/libx.so": [16, 4], "[anonymous]": [100, 100],
                                         "[stack]": [16, 16]}


@pytest.mark.parametrize("path, kind", [
    ("/usr/lib/x86_64-linux-gnu/libavcodec.so.59.37.100", "FFmpeg"),
    ("/usr/lib/x86_64-linux-gnu/libswresample.so.4.7.100", "FFmpeg"),
    ("/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsecommon-16.1.so", "PulseAudio"),
    ("/usr/lib/x86_64-linux-gnu/libc.so.6", "C and C++"),
    ("/usr/lib/x86_64-linux-gnu/libgcc_s.so.1", "C and C++"),
    ("/usr/lib/x86_64-linux-gnu/libx265.so.199", "other codecs"),
    ("/usr/lib/x86_64-linux-gnu/librsvg-2.so.2.48.0", "SVG"),
    ("/usr/lib/x86_64-linux-gnu/libgnutls.so.30.34.3", "network"),
    ("/usr/lib/x86_64-linux-gnu/libsomething-new.so.1", "other shared"),
    ("[heap]", "heap"),
])
def test_libraries_are_grouped_by_kind(path, kind):
    groups = compare.group_libraries({path})
    assert [name for name, members in groups.items() if members] == [
        next(name for name in groups if name.startswith(kind))]
