#!/usr/bin/python3
"""Draws the pictures of the documentation into docs/figures/ from the
project's own outputs (Debian's python3-matplotlib, numpy and PIL):

  resynthesis.png  an utterance rendered from its streams, with its f0 and
                   maximum voiced frequency tracks over the spectrogram, and
                   beside it its analysis rendered again (with the native
                   analyser)
  options.png      what each option does to one utterance
  speed.png        the timings of docs/figures/speed.tsv, which
                   `RESULTS=docs/figures/speed.tsv bench/run_bench.sh` writes

  docs/make_figures.py [BUILD]     (default build/release)

BUILD is a build folder holding the vallisynth program.
"""

import io
import pathlib
import subprocess
import sys
import tempfile
import wave

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
FIGURES = ROOT / "docs" / "figures"
FRAME_SECONDS = 0.005  # the examples' frame shift, 80 samples at 16 kHz
DPI = 72


def save(fig, name):
    """The figure as a PNG of 64 colours: a fraction of the bytes of a
    full-colour one, with no visible difference in a spectrogram."""
    buffer = io.BytesIO()
    fig.savefig(buffer, dpi=DPI)
    plt.close(fig)
    buffer.seek(0)
    image = Image.open(buffer).convert("RGB").quantize(colors=64)
    image.save(FIGURES / name, optimize=True)


def read_stream(path):
    return np.fromfile(path, dtype="<f4").astype(np.float64)


def read_wav(path):
    with wave.open(str(path)) as w:
        rate = w.getframerate()
        x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2") / 32768.0
    return x, rate


def render(program, work, name, streams, *options):
    out = work / (name + ".wav")
    subprocess.run([str(program), *map(str, streams), str(out), *options], check=True,
                   stdout=subprocess.DEVNULL)
    return read_wav(out)


def spectrogram(ax, x, rate, top=8000.0):
    """Log-magnitude short-time spectrum: 32 ms Hann windows every 4 ms."""
    n = int(0.032 * rate)
    hop = int(0.004 * rate)
    frames = np.lib.stride_tricks.sliding_window_view(x, n)[::hop] * np.hanning(n)
    power = np.abs(np.fft.rfft(frames, axis=1)) ** 2
    db = 10 * np.log10(power + 1e-12)
    ax.imshow(db.T, origin="lower", aspect="auto", cmap="magma", vmin=db.max() - 80,
              vmax=db.max(), extent=(0, len(x) / rate, 0, rate / 2))
    ax.set_ylim(0, min(top, rate / 2))
    ax.set_xlabel("time (s)")
    ax.set_ylabel("frequency (Hz)")


def tracks(ax, lf0, fv=None, frame_seconds=FRAME_SECONDS):
    """f0 (white) and the maximum voiced frequency (cyan) over a spectrogram;
    frame k is centred on (k + 1) frame shifts."""
    t = (np.arange(len(lf0)) + 1) * frame_seconds
    f0 = np.where(lf0 > -1e10, np.exp(np.minimum(lf0, 20.0)), np.nan)
    ax.plot(t, f0, color="white", linewidth=1.2, label="f0")
    if fv is not None:
        ax.plot(t, np.where(np.isnan(f0), np.nan, fv[:len(lf0)]), color="cyan", linewidth=1.2,
                label="maximum voiced frequency")
    ax.legend(loc="upper right", fontsize=8, framealpha=0.6)


def analyse(build, work, wav):
    """Streams from a recording by the native analyser (f0, cc, fv). None
    when the build has no analyser."""
    native = pathlib.Path(build) / "vallisynth-analyse"
    prefix = work / "analysed"
    if not native.exists():
        return None, None
    subprocess.run([str(native), str(wav), str(prefix)], check=True, stdout=subprocess.DEVNULL)
    return "vallisynth-analyse", [pathlib.Path(str(prefix) + ext) for ext in (".lf0", ".cc", ".fv")]


def resynthesis_figure(program, build, work):
    streams = [EXAMPLES / "utt01.lf0", EXAMPLES / "utt01.cc", EXAMPLES / "utt01.fv"]
    x, rate = render(program, work, "utt01", streams)
    tool, analysed = analyse(build, work, work / "utt01.wav")
    panels = 2 if analysed else 1
    fig, axes = plt.subplots(1, panels, figsize=(6 * panels, 3.4), squeeze=False)
    spectrogram(axes[0][0], x, rate)
    tracks(axes[0][0], read_stream(streams[0]), read_stream(streams[2]))
    axes[0][0].set_title("rendered from the example's streams", fontsize=10)
    if analysed:
        y, rate2 = render(program, work, "again", analysed)
        spectrogram(axes[0][1], y, rate2)
        tracks(axes[0][1], read_stream(analysed[0]),
               read_stream(analysed[2]) if len(analysed) > 2 else None)
        axes[0][1].set_title("analysed by %s and rendered again" % tool, fontsize=10)
    fig.tight_layout()
    save(fig, "resynthesis.png")


OPTIONS = [
    ("as it is", []),
    ("--FPITCH=1.5: every f0 x 1.5", ["--FPITCH=1.5"]),
    ("--FVPITCH=2: the intonation doubled", ["--FVPITCH=2"]),
    ("--FDUR=1.5: 1.5 times as long", ["--FDUR=1.5"]),
    ("--FWARP=0.1: formants up", ["--FWARP=0.1"]),
    ("--GAMMA=0.5: sharper formants", ["--GAMMA=0.5"]),
]


def options_figure(program, work):
    streams = [EXAMPLES / "utt03.lf0", EXAMPLES / "utt03.cc"]
    fig, axes = plt.subplots(3, 2, figsize=(11, 8.4), sharey=True)
    longest = 0.0
    for ax, (title, options) in zip(axes.flat, OPTIONS):
        x, rate = render(program, work, "option", streams, *options)
        spectrogram(ax, x, rate, top=5000.0)
        longest = max(longest, len(x) / rate)
        ax.set_title(title, fontsize=10)
    for ax in axes.flat:
        ax.set_xlim(0, longest)
        ax.label_outer()
    fig.tight_layout()
    save(fig, "options.png")


LABELS = {
    "speech": "vallisynth, 2 threads",
    "speech-1t": "vallisynth, 1 thread",
    "hts": "vallisynth, TTS minute, 2 threads",
    "hts-1t": "vallisynth, TTS minute, 1 thread",
    "batch": "vallisynth, batch of 100, 2 threads",
    "sptk": "SPTK excite | mlsadf",
}


def speed_figure():
    path = FIGURES / "speed.tsv"
    if not path.exists():
        print("no %s: run RESULTS=%s bench/run_bench.sh first" % (path, path))
        return
    lines = path.read_text().split("\n")
    header = lines[0].lstrip("# ").strip()
    rows = [l.split("\t") for l in lines[2:] if l.strip()]
    # Milliseconds per minute of speech, so that every case compares.
    cases = [(LABELS[r[0]], float(r[1]) / float(r[4]) * 60.0) for r in rows if r[0] in LABELS]
    fig, ax = plt.subplots(figsize=(8, 0.45 * len(cases) + 1.2))
    names = [c[0] for c in cases][::-1]
    values = [c[1] for c in cases][::-1]
    bars = ax.barh(names, values,
                   color=["#999999" if n.startswith("SPTK") else "#c2410c" for n in names])
    ax.bar_label(bars, labels=["%.0f ms" % v for v in values], padding=3, fontsize=8)
    ax.set_xlabel("milliseconds per minute of speech (median of the runs)")
    ax.set_title("bench/run_bench.sh, " + header, fontsize=8)
    fig.tight_layout()
    save(fig, "speed.png")


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "release")
    program = build / "vallisynth"
    if not program.exists():
        sys.exit("%s: no vallisynth program here; build it first" % build)
    FIGURES.mkdir(parents=True, exist_ok=True)
    plt.rcParams.update({"font.size": 9})
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        resynthesis_figure(program, build, work)
        options_figure(program, work)
    speed_figure()


if __name__ == "__main__":
    main()
