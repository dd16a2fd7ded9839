"""Fixtures of the corpus tests: a corpus of recordings made here, the
analysis program, and one uninterrupted run of it as the reference."""

import os
import pathlib
import subprocess
import wave

import numpy as np
import pytest

ANALYSE = os.environ.get("VALLISYNTH_ANALYSE", "")
DECODE = os.environ.get("VALLISYNTH_EXE", "")
FS = 16000


def write_wav(path, x, channels=1):
    path.parent.mkdir(parents=True, exist_ok=True)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(FS)
        w.writeframes(np.clip(x * 32767, -32768, 32767).astype("<i2").tobytes())


def speechlike(rng, seconds):
    """A gliding harmonic tone between two bursts of noise: voiced and
    unvoiced frames, a different f0 contour in every file."""
    n = int(seconds * FS)
    t = np.arange(n) / FS
    f0 = rng.uniform(90, 250) * (1 + 0.3 * np.sin(2 * np.pi * rng.uniform(0.5, 2) * t))
    phase = 2 * np.pi * np.cumsum(f0) / FS
    voiced = sum(np.sin(k * phase) / k for k in range(1, 30))
    edge = n // 5
    x = 0.2 * voiced
    x[:edge] = 0.05 * rng.standard_normal(edge)
    x[-edge:] = 0.05 * rng.standard_normal(edge)
    return x


@pytest.fixture(scope="session")
def corpus(tmp_path_factory):
    """A folder of recordings in nested folders, and their paths relative to it."""
    root = tmp_path_factory.mktemp("corpus")
    rng = np.random.default_rng(22)
    names = []
    for k in range(36):
        name = f"spk{k % 3}/sess{k % 2}/utt{k:02d}.wav"
        write_wav(root / name, speechlike(rng, rng.uniform(1.0, 4.0)))
        names.append(name)
    stereo = np.stack([speechlike(rng, 1.5), speechlike(rng, 1.5)], axis=1).ravel()
    write_wav(root / "stereo.wav", stereo, channels=2)
    names.append("stereo.wav")
    return root, names


def run(root, *args, check_status=None):
    done = subprocess.run([ANALYSE, *map(str, args)], cwd=root, capture_output=True, text=True,
                          timeout=300)
    if check_status is not None:
        assert done.returncode == check_status, done.stdout + done.stderr
    return done


def tree(folder):
    """Every final file under folder by relative path (temporary ones apart)."""
    folder = pathlib.Path(folder)
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file() and ".tmp-" not in p.name}


def leftovers(folder):
    return [p for p in pathlib.Path(folder).rglob("*") if ".tmp-" in p.name]


@pytest.fixture(scope="session")
def reference(corpus, tmp_path_factory):
    """One uninterrupted run, one file at a time: its outputs and manifest."""
    root, names = corpus
    out = tmp_path_factory.mktemp("reference")
    run(root, *names, f"--OUTDIR={out}/streams", f"--MANIFEST={out}/manifest.tsv",
        check_status=0)
    return tree(out / "streams"), (out / "manifest.tsv").read_text()


def batch_args(out, names=None, *extra):
    listed = out.parent / f"{out.name}.list"
    listed.write_text("".join(n + "\n" for n in names))
    return [f"--LIST={listed}", f"--OUTDIR={out}/streams", f"--MANIFEST={out}/manifest.tsv",
            *extra]


