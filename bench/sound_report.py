#!/usr/bin/python3
"""Analysis for bench/sound.sh: where each test track is heard in a recorded stream, how much
of it, the silence at each change, and loudness and true peak at the listener.

  sound_report.py playlist                  the test tracks, one TSV line each (sound.sh makes them)
  sound_report.py selftest REF.wav          our loudness and true peak against ffmpeg's ebur128
  sound_report.py report RUNS.tsv REF.wav   Markdown tables; RUNS.tsv: label, wav, cpu text

Needs numpy only (Debian's python3-numpy), so it runs with /usr/bin/python3.
"""
import re
import subprocess
import sys
import wave

import numpy as np

# name, seconds of tone, lead silence, tail silence, body Hz, ending Hz, dBFS (sine peak),
# sample rate, channels, fade-out seconds, what it stands for.
# Frequencies are 180 Hz or more apart and clear of each other's 2nd..5th harmonics, so a
# 60 ms analysis window keeps every tone in its own bin even when two tracks overlap.
TRACKS = [
    ("A", 8, 0, 0, 490, 1850, -12, 44100, 2, 0, "reference level"),
    ("B", 10, 0, 0, 730, 2560, -27, 44100, 2, 0, "quiet: -30 dBFS RMS"),
    ("C", 8, 1, 2, 1100, 3020, -15, 44100, 2, 0, "1 s silence before, 2 s after"),
    ("D", 10, 0, 0, 1360, 300, -12, 44100, 2, 3, "3 s fade-out"),
    ("F", 8, 0, 0, 2100, 3450, -6, 48000, 2, 0, "loud, 48 kHz"),
    ("E", 3, 0, 0, 1660, 3210, -12, 44100, 2, 0, "jingle"),
    ("G", 8, 0, 0, 2310, 2810, -18, 22050, 1, 0, "mono 22.05 kHz"),
]
ENDING_S = 1.0     # the last second of each track is at its ending frequency

HOP_S = 0.02       # analysis frame step
WIN_S = 0.06       # tone window (Blackman-Harris), centred on each step
TONE_DB = -60.0    # a tone above this (dBFS, sine peak) counts as heard
SILENCE_DB = -50.0  # a frame whose RMS (as a sine's peak) is below this is silence
NEAR_DB = 30.0     # ... and within this of the frame's own level
EDGE_FRAMES = 3    # frames left off each end of a track before measuring its loudness and peak


def playlist():
    for t in TRACKS:
        print("\t".join(str(v) for v in t))


# --- reading -------------------------------------------------------------------------------

def read_wav(path):
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise SystemExit(f"{path}: 16-bit PCM expected")
        rate, ch, n = w.getframerate(), w.getnchannels(), w.getnframes()
        data = np.frombuffer(w.readframes(n), dtype="<i2").astype(np.float64) / 32768.0
    return data.reshape(-1, ch), rate


# --- BS.1770 loudness and true peak ----------------------------------------------------------

def k_weighting_response(n, rate):
    """Frequency response of the two BS.1770 K-weighting biquads at the rfft bins of n samples,
    coefficients derived for this rate (the standard 48 kHz values only hold at 48 kHz)."""
    def biquad(b, a):
        z = np.exp(-1j * 2 * np.pi * np.fft.rfftfreq(n, 1.0 / rate) / rate)
        return (b[0] + b[1] * z + b[2] * z * z) / (a[0] + a[1] * z + a[2] * z * z)

    f0, gain, q = 1681.974450955533, 3.999843853973347, 0.7071752369554196
    k = np.tan(np.pi * f0 / rate)
    vh = 10 ** (gain / 20)
    vb = vh ** 0.4996667741545416
    a0 = 1 + k / q + k * k
    shelf = biquad([(vh + vb * k / q + k * k) / a0, 2 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0],
                   [1, 2 * (k * k - 1) / a0, (1 - k / q + k * k) / a0])
    f0, q = 38.13547087602444, 0.5003270373238773
    k = np.tan(np.pi * f0 / rate)
    a0 = 1 + k / q + k * k
    highpass = biquad([1, -2, 1], [1, 2 * (k * k - 1) / a0, (1 - k / q + k * k) / a0])
    return shelf * highpass


def integrated_loudness(x, rate):
    """LUFS of x (samples x channels; L, R weigh 1). Filtered in the frequency domain (with
    padding against wrap-around), then 400 ms blocks every 100 ms, -70 LUFS and -10 LU gates."""
    if len(x) < int(0.4 * rate):
        return float("nan")
    n = len(x) + rate  # a second of padding: the filters' tails settle well within it
    h = k_weighting_response(n, rate)
    y = np.fft.irfft(np.fft.rfft(x, n=n, axis=0) * h[:, None], n=n, axis=0)[: len(x)]
    block, step = int(0.4 * rate), int(0.1 * rate)
    csum = np.concatenate([np.zeros((1, y.shape[1])), np.cumsum(y * y, axis=0)])
    starts = np.arange(0, len(y) - block + 1, step)
    z = ((csum[starts + block] - csum[starts]) / block).sum(axis=1)
    with np.errstate(divide="ignore"):
        lk = -0.691 + 10 * np.log10(z)
    z = z[lk > -70]
    if len(z) == 0:
        return float("-inf")
    rel = -0.691 + 10 * np.log10(z.mean()) - 10
    z = z[-0.691 + 10 * np.log10(z) > rel]
    return -0.691 + 10 * np.log10(z.mean())


def true_peak(x):
    """dBTP: the highest sample of a 4x band-limited upsampling, by FFT, in overlapping chunks."""
    peak, chunk, edge = 0.0, 1 << 16, 256
    for c in range(x.shape[1]):
        s = x[:, c]
        for i in range(0, len(s), chunk):
            lo, hi = max(0, i - edge), min(len(s), i + chunk + edge)
            seg = s[lo:hi]
            bins = np.fft.rfft(seg)
            up = np.fft.irfft(bins, n=4 * len(seg)) * 4
            a, b = 4 * (i - lo), 4 * (min(len(s), i + chunk) - lo)
            peak = max(peak, float(np.abs(up[a:b]).max(initial=0.0)))
    return 20 * np.log10(peak) if peak > 0 else float("-inf")


def selftest(ref_path):
    """Compares our integrated loudness and true peak with ffmpeg's ebur128 on the same file;
    exits 1 when they differ by more than 0.2 LU / 0.3 dB."""
    x, rate = read_wav(ref_path)
    ours_i, ours_tp = integrated_loudness(x, rate), true_peak(x)
    out = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", ref_path, "-af",
                          "ebur128=peak=true", "-f", "null", "-"],
                         capture_output=True, text=True, check=True).stderr
    summary = out[out.rfind("Summary:"):]
    ff_i = float(re.search(r"I:\s+(-?[\d.]+) LUFS", summary).group(1))
    ff_tp = float(re.search(r"Peak:\s+(-?[\d.]+) dBFS", summary).group(1))
    print(f"selftest: integrated {ours_i:.2f} LUFS (ffmpeg {ff_i:.1f}), "
          f"true peak {ours_tp:.2f} dBTP (ffmpeg {ff_tp:.1f})")
    if abs(ours_i - ff_i) > 0.2 or abs(ours_tp - ff_tp) > 0.3:
        print("selftest: FAIL, our meter disagrees with ffmpeg's", file=sys.stderr)
        sys.exit(1)


# --- locating the tracks ---------------------------------------------------------------------

def tone_levels(mono, rate, freqs):
    """dBFS (as a sine's peak) of each frequency, one row per HOP_S step."""
    hop, win = int(round(HOP_S * rate)), int(round(WIN_S * rate))
    n = np.arange(win)
    w = (0.35875 - 0.48829 * np.cos(2 * np.pi * n / (win - 1)) + 0.14128 * np.cos(4 * np.pi * n / (win - 1))
         - 0.01168 * np.cos(6 * np.pi * n / (win - 1)))
    basis = (w[:, None] * np.exp(-2j * np.pi * np.outer(n, freqs) / rate)) * (2 / w.sum())
    frames = len(mono) // hop
    pad = (win - hop) // 2
    padded = np.concatenate([np.zeros(pad), mono, np.zeros(win)])
    view = np.lib.stride_tricks.sliding_window_view(padded, win)[::hop][:frames]
    with np.errstate(divide="ignore"):
        return 20 * np.log10(np.abs(view @ basis) + 1e-12)


def frame_rms_db(x, rate):
    hop = int(round(HOP_S * rate))
    frames = len(x) // hop
    ms = (x[: frames * hop] ** 2).mean(axis=1).reshape(frames, hop).mean(axis=1)
    return 10 * np.log10(2 * ms + 1e-20)


def runs(mask, max_gap):
    """(first, last) frame index of each run of True, bridging gaps up to max_gap frames."""
    idx = np.flatnonzero(mask)
    if len(idx) == 0:
        return []
    out, first, last = [], idx[0], idx[0]
    for i in idx[1:]:
        if i - last > max_gap + 1:
            out.append((first, last))
            first = i
        last = i
    out.append((first, last))
    return out


class Recording:
    def __init__(self, path):
        self.x, self.rate = read_wav(path)
        freqs = [f for t in TRACKS for f in (t[4], t[5])]
        self.levels = tone_levels(self.x.mean(axis=1), self.rate, freqs)
        self.rms = frame_rms_db(self.x, self.rate)
        self.frames = len(self.rms)
        self.occ = {}
        gap = int(0.1 / HOP_S)
        # The window reaches 30 ms beyond its step: a tone that has just ended still shows,
        # far below what is playing now. Counting it only near the frame's level keeps edges
        # sharp without losing a tone under a crossfade.
        near = self.levels > (np.maximum(self.rms, TONE_DB) - NEAR_DB)[:, None]
        for i, t in enumerate(TRACKS):
            body = (self.levels[:, 2 * i] > TONE_DB) & near[:, 2 * i]
            ending = (self.levels[:, 2 * i + 1] > TONE_DB) & near[:, 2 * i + 1]
            found = []
            for a, b in runs(body, gap):
                if (b - a + 1) * HOP_S < 0.5:
                    continue
                lo, hi = a, min(self.frames, b + int(1.5 / HOP_S))
                tail = np.flatnonzero(ending[lo:hi])
                found.append({
                    "start": a, "body_end": b,
                    "end": max(b, lo + tail[-1]) if len(tail) else b,
                    "body_s": body[a:b + 1].sum() * HOP_S,
                    "ending_s": len(tail) * HOP_S,
                })
            self.occ[t[0]] = found

    def pick(self, settle_s):
        """The first whole hearing of each track that starts after settle_s."""
        last_ok = self.frames - int(2 / HOP_S)
        chosen = {}
        for t in TRACKS:
            for o in self.occ[t[0]]:
                if o["start"] * HOP_S >= settle_s and o["end"] <= last_ok:
                    chosen[t[0]] = o
                    break
        return chosen

    def change(self, prev, o):
        """Silence and gap (ms; a negative gap is an overlap) between the hearing of prev
        that ends nearest before o starts and o."""
        cands = [p for p in self.occ[prev] if p["start"] < o["start"]]
        if not cands:
            return None
        p = max(cands, key=lambda p: p["end"])
        if o["start"] - p["end"] > int(15 / HOP_S):
            return None
        gap = (o["start"] - p["end"] - 1) * HOP_S * 1000
        # Silence is judged by level alone, so the window may reach into both tracks.
        lo, hi = min(p["end"], o["start"]) - 5, max(p["end"], o["start"]) + 5
        silent = (self.rms[max(0, lo):hi] < SILENCE_DB).sum() * HOP_S * 1000
        return gap, silent

    def segment(self, o):
        hop = int(round(HOP_S * self.rate))
        return self.x[(o["start"] + EDGE_FRAMES) * hop:(o["end"] + 1 - EDGE_FRAMES) * hop]


# --- report ---------------------------------------------------------------------------------

def fmt(v, form=".1f"):
    return "n/a" if v is None or (isinstance(v, float) and not np.isfinite(v)) else format(v, form)


def analyse(path, settle_s):
    rec = Recording(path)
    chosen = rec.pick(settle_s)
    rows = {}
    names = [t[0] for t in TRACKS]
    for i, t in enumerate(TRACKS):
        o = chosen.get(t[0])
        if o is None:
            rows[t[0]] = None
            continue
        seg = rec.segment(o)
        rows[t[0]] = {
            "body_s": o["body_s"], "ending_s": o["ending_s"], "at_s": o["start"] * HOP_S,
            "lufs": integrated_loudness(seg, rec.rate), "tp": true_peak(seg),
            "change": rec.change(names[i - 1], o),
        }
    hop = int(round(HOP_S * rec.rate))
    span = rec.x[int(settle_s / HOP_S) * hop:]
    return rows, true_peak(span), len(rec.x) / rec.rate


def report(runs_path, ref_path, settle_s):
    ref, _, _ = analyse(ref_path, 1.0)  # from the second A on, so that G→A has a change too
    if any(r is None for r in ref.values()):
        raise SystemExit("the reference (the files back to back) is missing a track: analysis broken")
    results = [("files back to back (no server)", ref, None, "-")]
    with open(runs_path) as f:
        for line in f:
            if line.strip():
                label, path, cpu = line.rstrip("\n").split("\t")
                rows, tp, dur = analyse(path, settle_s)
                results.append((label, rows, tp, cpu))

    names = [t[0] for t in TRACKS]
    print("| run | content heard | endings heard | silence at changes, max / total ms "
          "| loudness min..max LUFS | spread LU | max true peak dBTP | CPU % of a core |")
    print("|---|---|---|---|---|---|---|---|")
    for label, rows, tp, cpu in results:
        got = exp = 0.0
        endings = 0
        sil = []
        louds = []
        peaks = []
        for n in names:
            e = ref[n]
            exp += e["body_s"] + e["ending_s"]
            r = rows[n]
            if r is None:
                continue
            got += min(r["body_s"], e["body_s"]) + min(r["ending_s"], e["ending_s"])
            endings += r["ending_s"] >= 0.5 * e["ending_s"]
            if r["change"] is not None:
                sil.append(r["change"][1])
            if np.isfinite(r["lufs"]):
                louds.append(r["lufs"])
            peaks.append(r["tp"])
        missing = sum(rows[n] is None for n in names)
        heard = f"{100 * got / exp:.0f} %" + (f" ({missing} not found)" if missing else "")
        tp = max(peaks) if tp is None and peaks else tp
        print(f"| {label} | {heard} | {endings}/{len(names)} | "
              f"{fmt(max(sil) if sil else None, '.0f')} / {fmt(sum(sil) if sil else None, '.0f')} | "
              f"{fmt(min(louds) if louds else None)}..{fmt(max(louds) if louds else None)} | "
              f"{fmt(max(louds) - min(louds) if louds else None)} | {fmt(tp)} | {cpu} |")

    for label, rows, _, _ in results:
        print(f"\n**{label}** (per track; the change column is the one into that track)\n")
        print("| track | heard at s | body s heard / in file | ending s heard / in file "
              "| LUFS | true peak dBTP | change: gap ms (negative: overlap) | silence ms |")
        print("|---|---|---|---|---|---|---|---|")
        for i, t in enumerate(TRACKS):
            n, e, r = t[0], ref[t[0]], rows[t[0]]
            into = f"{names[i - 1]}→{n}"
            if r is None:
                print(f"| {n} ({t[10]}) | not found | | | | | {into}: | |")
                continue
            ch = r["change"]
            print(f"| {n} ({t[10]}) | {r['at_s']:.1f} | {r['body_s']:.2f} / {e['body_s']:.2f} | "
                  f"{r['ending_s']:.2f} / {e['ending_s']:.2f} | {fmt(r['lufs'])} | {fmt(r['tp'])} | "
                  f"{into}: {fmt(ch[0] if ch else None, '.0f')} | {fmt(ch[1] if ch else None, '.0f')} |")


def main(argv):
    if len(argv) >= 2 and argv[1] == "playlist":
        playlist()
    elif len(argv) == 3 and argv[1] == "selftest":
        selftest(argv[2])
    elif len(argv) in (4, 5) and argv[1] == "report":
        report(argv[2], argv[3], float(argv[4]) if len(argv) == 5 else 5.0)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
