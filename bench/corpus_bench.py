#!/usr/bin/env python3
"""Corpus throughput: many short files against one long one, on both cores
and through a Dask LocalCluster, for analysis and decoding.

    bench/corpus_bench.py BUILD_DIR [--files 2000] [--work /tmp/vallisynth-corpus]

Makes a corpus of short files (espeak-ng sentences in several voices and
speeds, and pocketsphinx-testdata recordings, resampled to 16 kHz and cut
into pieces of 0.5 to 6 s) under --work, outside the repository, and one
long file holding the same audio. Then times, side by side in one run:

  corpus   vallisynth-analyse --THREADS=2 over the short files
  long     vallisynth-analyse --THREADS=2 over two copies of the long file
           (both cores busy with one long file each)
  dask     vallisynth.corpus.analyse through a LocalCluster of 2 processes
  decode   vallisynth.corpus.decode over the corpus's streams, on a process
           pool of 2 and through the LocalCluster

and prints, per hour of audio, the wall time on both cores and the CPU time
(hours of audio per core-hour of CPU). Each timing is the best of --rounds
runs (outputs redone with --FORCE=1), the runs taking turns, so that other load
on the machine counts as little as possible. Needs numpy, sox, espeak-ng,
pocketsphinx-testdata and, for the Dask rows, python3-distributed.
"""
import argparse
import contextlib
import glob
import math
import os
import pathlib
import platform
import random
import resource
import subprocess
import sys
import time
import wave

import numpy as np

FS = 16000
VOICES = ["en", "en-us", "en-gb-scotland", "en-us+f3", "en+m3", "en+f2", "de", "fr", "es", "it"]
WORDS = ("the quick brown fox jumps over a lazy dog while seven bright children count "
         "colourful boats drifting slowly across the quiet harbour before evening falls and "
         "every distant bell rings softly under grey clouds near old stone bridges").split()


def sox_to_16k(source, target, raw=False):
    kind = ["-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1"] if raw else []
    subprocess.run(["sox", *kind, source, "-r", str(FS), "-c", "1", "-b", "16", target],
                   check=True, capture_output=True)


def read16(path):
    with wave.open(str(path), "rb") as w:
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")


def write16(path, x):
    path.parent.mkdir(parents=True, exist_ok=True)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(FS)
        w.writeframes(x.astype("<i2").tobytes())


def sources(work, rng):
    """Long 16 kHz recordings: espeak-ng reading many sentences per voice
    and speed, and the pocketsphinx test recordings."""
    out = work / "sources"
    out.mkdir(parents=True, exist_ok=True)
    made = []
    for k, voice in enumerate(VOICES):
        text = ". ".join(" ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 14)))
                         for _ in range(160)) + "."
        raw = out / f"espeak{k}.22k.wav"
        subprocess.run(["espeak-ng", "-v", voice, "-s", str(rng.randint(130, 190)),
                        "-w", str(raw), text], check=True, capture_output=True)
        sox_to_16k(str(raw), str(out / f"espeak{k}.wav"))
        raw.unlink()
        made.append(out / f"espeak{k}.wav")
    data = "/usr/share/pocketsphinx/test/data"
    for k, path in enumerate(sorted(glob.glob(f"{data}/**/*.wav", recursive=True) +
                                    glob.glob(f"{data}/**/*.raw", recursive=True))):
        sox_to_16k(path, str(out / f"ps{k}.wav"), raw=path.endswith(".raw"))
        made.append(out / f"ps{k}.wav")
    return made


def make_corpus(work, files, seed=22):
    """files short WAVs under work/corpus (in folders of 100) and work/long.wav."""
    corpus = work / "corpus"
    names = sorted(str(p.relative_to(work)) for p in corpus.rglob("*.wav")) \
        if corpus.exists() else []
    if len(names) == files and (work / "long.wav").exists():
        return names
    rng = random.Random(seed)
    audio = [read16(p) for p in sources(work, rng)]
    pieces, k = [], 0
    while len(pieces) < files:
        x = audio[k % len(audio)]
        k += 1
        n = int(rng.uniform(0.5, 6.0) * FS)
        start = rng.randrange(0, max(1, len(x) - n))
        pieces.append(x[start:start + n])
    names = []
    for i, x in enumerate(pieces):
        name = f"corpus/{i // 100:02d}/{i:05d}.wav"
        write16(work / name, x)
        names.append(name)
    write16(work / "long.wav", np.concatenate(pieces))
    return names


def timed(call):
    """Wall and CPU seconds (this process's and its finished children's)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN), resource.getrusage(resource.RUSAGE_SELF)
    start = time.monotonic()
    call()
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN), resource.getrusage(resource.RUSAGE_SELF)
    cpu = sum(a.ru_utime + a.ru_stime - b.ru_utime - b.ru_stime for a, b in zip(after, before))
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--work", default="/tmp/vallisynth-corpus")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    analyse = str(build / "vallisynth-analyse")
    sys.path.insert(0, str(build / "python"))
    from vallisynth import corpus as vc

    work = pathlib.Path(args.work)
    names = make_corpus(work, args.files)
    hours = sum(wave.open(str(work / n)).getnframes() for n in names) / FS / 3600
    (work / "long2.wav").unlink(missing_ok=True)
    os.link(work / "long.wav", work / "long2.wav")
    print(f"corpus: {len(names)} files, {hours:.3f} h of audio; long.wav the same audio "
          f"({hours * 60:.1f} min)")

    def cli(inputs, outdir):
        subprocess.run([analyse, *inputs, f"--OUTDIR={outdir}", "--THREADS=2", "--FORCE=1"],
                       cwd=work, check=True, capture_output=True)

    listing = work / "corpus.list"
    listing.write_text("".join(n + "\n" for n in names))
    prefixes = ["out-cli/" + n[:-4] for n in names]
    cli([f"--LIST={listing}"], work / "out-cli")  # the streams decoded below
    runs = [
        ("analysis, corpus, vallisynth-analyse --THREADS=2", hours,
         lambda ex: cli([f"--LIST={listing}"], work / "out-cli")),
        ("analysis, long file x2, vallisynth-analyse --THREADS=2", 2 * hours,
         lambda ex: cli(["long.wav", "long2.wav"], work / "out-long")),
        ("analysis, corpus, corpus.analyse (process pool of 2)", hours,
         lambda ex: vc.analyse(names, work / "out-py", root=work, force=True, progress=False,
                               program=analyse)),
        ("decoding, corpus, corpus.decode (process pool of 2)", hours,
         lambda ex: vc.decode(prefixes, work / "wav-py", root=work, force=True, progress=False)),
        ("analysis, corpus, corpus.analyse (Dask LocalCluster, 2 workers)", hours,
         lambda ex: vc.analyse(names, work / "out-dask", root=work, executor=ex, force=True,
                               progress=False, program=analyse)),
        ("decoding, corpus, corpus.decode (Dask LocalCluster, 2 workers)", hours,
         lambda ex: vc.decode(prefixes, work / "wav-dask", root=work, executor=ex, force=True,
                              progress=False)),
    ]
    try:
        import distributed
    except ImportError:
        distributed = None
        runs = [r for r in runs if "Dask" not in r[0]]
    # The runs take turns, round after round, and each keeps its best: load
    # from elsewhere on the machine then weighs on all of them alike.
    best = {}
    with contextlib.ExitStack() as stack:
        ex = None
        if distributed is not None:
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                silence_logs=40))
            ex = stack.enter_context(distributed.Client(cluster)).get_executor()
        for _ in range(args.rounds):
            for what, audio_hours, call in runs:
                wall, cpu = timed(lambda: call(ex))
                # Dask's workers are not this process's children: no CPU time.
                cpu = cpu if "Dask" not in what else float("nan")
                old = best.get(what, (math.inf, math.inf))
                best[what] = (min(old[0], wall), min(old[1], cpu) if cpu == cpu else cpu)
    rows = [(what, best[what][0] / h, h / (best[what][1] / 3600), h / (2 * best[what][0] / 3600))
            for what, h, _ in runs]

    print(f"\n{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {platform.node()}, "
          f"{os.cpu_count()} cores, {platform.processor() or platform.machine()}")
    print(f"{'':66s} {'wall s / audio h':>16s} {'audio h / CPU h':>16s} {'audio h / core-h':>17s}")
    for what, per_hour, per_cpu, per_core in rows:
        print(f"{what:66s} {per_hour:16.1f} {per_cpu:16.0f} {per_core:17.0f}")


if __name__ == "__main__":
    main()
