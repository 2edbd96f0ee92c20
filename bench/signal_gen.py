"""A speech- and music-like stereo test signal, made here so that every run hears exactly the same thing.

Speech: a voice whose pitch glides (90-220 Hz) through vowels made by additive synthesis under five formant
resonances, with noise-like fricatives and plosive bursts between syllables, and pauses. Music: a chord progression
with decaying harmonics, a bass line, plucked notes with sharp attacks, a kick, a snare and a hi-hat (transients and
wide-band noise), spread across the stereo field. The two alternate and overlap, so the signal has tonal, noisy,
transient, quiet and dense stretches. Deterministic: the same seed gives the same samples.
"""
import wave

import numpy as np

RATE = 48000

# Formant frequencies and bandwidths (Hz) of a few vowels, adult voice.
VOWELS = {
    "a": ((730, 90), (1090, 110), (2440, 140), (3400, 250), (4500, 300)),
    "i": ((270, 60), (2290, 100), (3010, 150), (3700, 250), (4500, 300)),
    "u": ((300, 60), (870, 90), (2240, 140), (3400, 250), (4500, 300)),
    "e": ((530, 70), (1840, 100), (2480, 140), (3500, 250), (4500, 300)),
    "o": ((570, 80), (840, 90), (2410, 140), (3400, 250), (4500, 300)),
}


def _resonance(freq, f0, bw):
    """Magnitude of a two-pole resonance at frequencies `freq`."""
    return 1.0 / np.sqrt((1 - (freq / f0) ** 2) ** 2 + (freq * bw / f0**2) ** 2)


def _band_noise(rng, n, low, high):
    spectrum = np.fft.rfft(rng.standard_normal(n))
    freqs = np.fft.rfftfreq(n, 1 / RATE)
    spectrum[(freqs < low) | (freqs > high)] = 0
    out = np.fft.irfft(spectrum, n)
    return out / (np.max(np.abs(out)) + 1e-12)


def speech(seconds, rng):
    n = int(seconds * RATE)
    out = np.zeros(n)
    t = 0.0
    names = list(VOWELS)
    while t < seconds - 0.5:
        syllables = rng.integers(3, 9)  # one phrase, then a pause
        for _ in range(syllables):
            dur = rng.uniform(0.12, 0.28)
            start = int(t * RATE)
            length = int(dur * RATE)
            if start + length + RATE // 10 >= n:
                break
            # A consonant first: a fricative hiss or a plosive burst.
            if rng.random() < 0.5:
                c = int(rng.uniform(0.04, 0.09) * RATE)
                hiss = _band_noise(rng, c, 3000, 9000) * np.hanning(c) * 0.12
            else:
                c = int(0.015 * RATE)
                hiss = _band_noise(rng, c, 500, 5000) * np.exp(-np.arange(c) / (0.003 * RATE)) * 0.3
            out[start:start + c] += hiss
            start += c
            # The vowel: harmonics of a gliding pitch, weighted by the formants.
            k = np.arange(length)
            f0 = rng.uniform(110, 190) * (1 + 0.15 * np.sin(np.pi * k / length + rng.uniform(0, np.pi)))
            phase = 2 * np.pi * np.cumsum(f0) / RATE
            formants = VOWELS[names[rng.integers(len(names))]]
            voice = np.zeros(length)
            mean_f0 = f0.mean()
            for h in range(1, int(7000 / mean_f0)):
                freq = h * mean_f0
                gain = sum(_resonance(freq, f, b) for f, b in formants) / h**0.5
                voice += gain * np.sin(h * phase)
            envelope = np.minimum(1, np.minimum(k, length - k) / (0.02 * RATE))
            voice *= envelope / (np.max(np.abs(voice)) + 1e-12) * 0.35
            out[start:start + length] += voice
            t += (c + length) / RATE + rng.uniform(0.01, 0.05)
        t += rng.uniform(0.25, 0.7)
    return out


def _note(freq, length, decay, harmonics=10, brightness=1.0):
    k = np.arange(length) / RATE
    tone = sum(np.sin(2 * np.pi * freq * h * k) / h**(1.5 / brightness) for h in range(1, harmonics + 1)
               if freq * h < 16000)
    attack = np.minimum(1, k / 0.004)
    return tone * attack * np.exp(-k / decay)


def music(seconds, rng):
    n = int(seconds * RATE)
    left = np.zeros(n)
    right = np.zeros(n)
    beat = 0.5  # 120 beats a minute
    chords = ((220.0, 277.18, 329.63), (196.0, 246.94, 293.66), (174.61, 220.0, 261.63), (164.81, 207.65, 246.94))
    step = 0
    t = 0.0
    while t < seconds - 2 * beat:
        start = int(t * RATE)
        bar = int(4 * beat * RATE)
        if step % 4 == 0:
            chord = chords[(step // 4) % len(chords)]
            for i, f in enumerate(chord):
                pad = _note(f, min(bar, n - start), 1.2, harmonics=12) * 0.07
                pan = 0.3 + 0.2 * i
                left[start:start + len(pad)] += pad * (1 - pan)
                right[start:start + len(pad)] += pad * pan
            bass = _note(chord[0] / 4, min(bar, n - start), 0.6, harmonics=6) * 0.2
            left[start:start + len(bass)] += bass
            right[start:start + len(bass)] += bass
        length = min(int(beat * RATE), n - start)
        # Kick on 1 and 3, snare on 2 and 4, hi-hat on every half beat.
        k = np.arange(length) / RATE
        if step % 2 == 0:
            kick = np.sin(2 * np.pi * (50 * k + 60 * (1 - np.exp(-k / 0.03)) * 0.03)) * np.exp(-k / 0.12) * 0.5
            left[start:start + length] += kick
            right[start:start + length] += kick
        else:
            snare = _band_noise(rng, length, 200, 12000) * np.exp(-k / 0.06) * 0.25
            left[start:start + length] += snare * 0.8
            right[start:start + length] += snare
        for half in (0, length // 2):
            h = min(int(0.05 * RATE), length - half)
            hat = _band_noise(rng, h, 7000, 18000) * np.exp(-np.arange(h) / (0.012 * RATE)) * 0.12
            right[start + half:start + half + h] += hat
            left[start + half:start + half + h] += hat * 0.5
        # A plucked melody note on most beats.
        if rng.random() < 0.7:
            f = chords[(step // 4) % len(chords)][rng.integers(3)] * 2 ** rng.integers(1, 3)
            pluck = _note(f, length, 0.15, harmonics=16, brightness=2.0) * 0.12
            left[start:start + length] += pluck * 0.8
            right[start:start + length] += pluck * 0.3
        step += 1
        t += beat
    return np.stack([left, right], axis=1)


def make(seconds, seed=13):
    """Stereo float32 frames, `seconds` long, peaking near -1 dBFS: speech alone, music alone, both, in turn."""
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    voice = speech(seconds, rng)
    band = music(seconds, rng)
    # Ten-second cycle: speech alone, speech over quiet music, music alone.
    phase = (np.arange(n) / RATE) % 10
    voice_gain = np.where(phase < 7, 1.0, 0.0)
    music_gain = np.where(phase < 3.5, 0.0, np.where(phase < 7, 0.35, 1.0))
    ramp = int(0.05 * RATE)
    smooth = np.ones(ramp) / ramp
    voice_gain = np.convolve(voice_gain, smooth, mode="same")
    music_gain = np.convolve(music_gain, smooth, mode="same")
    out = band * music_gain[:, None] + np.stack([voice * 0.9, voice], axis=1) * voice_gain[:, None]
    out *= 0.89 / np.max(np.abs(out))
    return out.astype(np.float32)


def write_wav16(path, frames):
    """16-bit PCM WAV, for players."""
    pcm = np.clip(np.round(frames * 32767), -32768, 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(frames.shape[1])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())


if __name__ == "__main__":
    import sys

    write_wav16(sys.argv[1], make(float(sys.argv[2]) if len(sys.argv) > 2 else 20))
