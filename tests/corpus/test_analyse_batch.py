"""vallisynth-analyse over a corpus: the same bytes for every way of
running it (threads, shards, restarts), nothing partial left by a stop at
any moment, failures reported while the batch goes on."""

import os
import random
import shutil
import signal
import subprocess
import time

import numpy as np
import pytest

from conftest import ANALYSE, batch_args, leftovers, run, tree, write_wav

pytestmark = pytest.mark.skipif(not os.path.exists(ANALYSE),
                                reason="VALLISYNTH_ANALYSE (which CTest sets) names no program")


def test_every_thread_count_and_the_single_file_form_give_the_same_bytes(corpus, reference,
                                                                         tmp_path):
    root, names = corpus
    streams, manifest = reference
    for threads in (2, 0):
        out = tmp_path / f"t{threads}"
        done = run(root, *batch_args(out, names, f"--THREADS={threads}"), check_status=0)
        assert tree(out / "streams") == streams
        assert (out / "manifest.tsv").read_text() == manifest
        assert f"{len(names)} analysed, 0 up to date, 0 failed" in done.stdout
    for name in names[:2] + ["stereo.wav"]:
        run(root, name, tmp_path / "single", check_status=0)
        for ext in (".lf0", ".cc", ".fv"):
            stem = name[:-4]
            assert (tmp_path / ("single" + ext)).read_bytes() == streams[stem + ext], name
    rows = [line.split("\t") for line in manifest.splitlines()]
    assert rows[0] == ["input", "duration_s", "frames", "voiced_share", "median_f0_hz",
                       "median_fv_hz", "status", "message"]
    assert [r[0] for r in rows[1:]] == names
    for r in rows[1:]:
        frames = int(r[2])
        assert len(streams[r[0][:-4] + ".lf0"]) == 4 * frames
        assert abs(float(r[1]) - (frames + 1) * 0.005) < 0.005
        assert 0.3 < float(r[3]) < 0.9 and 80 < float(r[4]) < 330 and r[6] == "ok"
    assert rows[-1][7] == "2 channels mixed down to mono"


def test_resume_skips_complete_outputs_and_redoes_the_others(corpus, reference, tmp_path):
    root, names = corpus
    streams, manifest = reference
    work = tmp_path / "corpus"
    shutil.copytree(root, work)
    out = tmp_path / "out"
    run(work, *batch_args(out, names), check_status=0)
    stamps = {p: p.stat().st_mtime_ns for p in (out / "streams").rglob("*.*")}
    # A removed output, an output cut short, and an input changed since.
    (out / "streams" / names[0].replace(".wav", ".cc")).unlink()
    cut = out / "streams" / names[1].replace(".wav", ".fv")
    cut.write_bytes(cut.read_bytes()[:-4])
    time.sleep(0.01)
    (work / names[2]).touch()
    done = run(work, *batch_args(out, names), check_status=0)
    assert f"3 analysed, {len(names) - 3} up to date" in done.stdout
    assert tree(out / "streams") == streams
    assert (out / "manifest.tsv").read_text() == manifest
    redone = {p for p, t in stamps.items() if p.exists() and p.stat().st_mtime_ns != t}
    assert sorted(p.stem for p in redone) == ["utt00"] * 3 + ["utt01"] * 3 + ["utt02"] * 3
    # Without the previous manifest the rows are rebuilt from the outputs.
    (out / "manifest.tsv").unlink()
    done = run(work, *batch_args(out, names), check_status=0)
    assert f"0 analysed, {len(names)} up to date" in done.stdout
    assert (out / "manifest.tsv").read_text() == manifest
    done = run(work, *batch_args(out, names, "--FORCE=1", "--THREADS=2"), check_status=0)
    assert f"{len(names)} analysed, 0 up to date" in done.stdout
    assert tree(out / "streams") == streams


def check_stopped_run(out, streams, manifest):
    """What a stopped run left: whole outputs only, and manifest rows that
    are an uninterrupted run's."""
    for name, data in tree(out / "streams").items():
        assert data == streams[name], f"{name} is partial"
    if (out / "manifest.tsv").exists():
        rows = set(manifest.splitlines())
        assert set((out / "manifest.tsv").read_text().splitlines()) <= rows


def test_a_run_killed_at_a_random_moment_ends_as_an_uninterrupted_one(corpus, reference,
                                                                       tmp_path):
    root, names = corpus
    streams, manifest = reference
    start = time.monotonic()
    run(root, *batch_args(tmp_path / "timed", names, "--THREADS=2"), check_status=0)
    duration = time.monotonic() - start
    rng = random.Random(os.environ.get("VALLISYNTH_TEST_SEED", time.time_ns()))
    out = tmp_path / "out"
    for attempt in range(3):
        proc = subprocess.Popen([ANALYSE, *batch_args(out, names, "--THREADS=2")], cwd=root,
                                stdout=subprocess.DEVNULL)
        moment = rng.uniform(0, duration)
        time.sleep(moment)
        proc.kill()
        proc.wait(timeout=60)
        check_stopped_run(out, streams, manifest)
    run(root, *batch_args(out, names, "--THREADS=2"), check_status=0)
    assert tree(out / "streams") == streams
    assert (out / "manifest.tsv").read_text() == manifest


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_leaves_only_finished_files_and_exits_128_plus_the_signal(corpus, reference,
                                                                         tmp_path, sig):
    root, names = corpus
    streams, manifest = reference
    out = tmp_path / "out"
    for attempt in range(3):  # on a busy machine the run may end before the signal
        shutil.rmtree(out, ignore_errors=True)
        proc = subprocess.Popen([ANALYSE, *batch_args(out, names)], cwd=root,
                                stdout=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not any((out / "streams").rglob("*.fv")) and time.monotonic() < deadline:
            time.sleep(0.005)
        proc.send_signal(sig)
        stdout, _ = proc.communicate(timeout=60)
        if proc.returncode != 0:
            break
    assert proc.returncode == 128 + sig, stdout
    assert "Interrupted after" in stdout
    assert not leftovers(out)
    check_stopped_run(out, streams, manifest)
    finished = len((out / "manifest.tsv").read_text().splitlines()) - 1
    assert 0 < finished < len(names)
    done = run(root, *batch_args(out, names), check_status=0)
    assert f"{len(names) - finished} analysed, {finished} up to date" in done.stdout
    assert tree(out / "streams") == streams
    assert (out / "manifest.tsv").read_text() == manifest


def test_shards_split_the_corpus_into_every_nth_file(corpus, reference, tmp_path):
    root, names = corpus
    streams, manifest = reference
    rows = []
    for i in range(3):
        run(root, *names, f"--OUTDIR={tmp_path}/streams", f"--MANIFEST={tmp_path}/m{i}.tsv",
            f"--SHARD={i}/3", check_status=0)
        shard_rows = (tmp_path / f"m{i}.tsv").read_text().splitlines()[1:]
        assert [r.split("\t")[0] for r in shard_rows] == names[i::3]
        rows += shard_rows
    assert tree(tmp_path / "streams") == streams
    assert sorted(rows) == sorted(manifest.splitlines()[1:])


def test_failed_files_are_reported_and_the_batch_goes_on(corpus, reference, tmp_path):
    root, names = corpus
    streams, _ = reference
    work = tmp_path / "corpus"
    shutil.copytree(root, work)
    (work / "notaudio.wav").write_text("not audio\n")
    write_wav(work / "short.wav", np.zeros(40))
    shutil.copy(work / names[0], work / "outside.wav")
    batch = [names[0], "notaudio.wav", "missing.wav", "short.wav", "./" + names[0],
             "../corpus/outside.wav", names[1]]
    done = run(work, *batch_args(tmp_path / "out", batch), check_status=1)
    errors = [line for line in done.stdout.splitlines() if line.startswith("Error:")]
    assert len(errors) == 5, done.stdout
    for word in ("notaudio.wav", "missing.wav", "short.wav", "would replace those of",
                 "outside the current folder"):
        assert sum(word in e for e in errors) == 1, (word, errors)
    rows = [r.split("\t") for r in (tmp_path / "out/manifest.tsv").read_text().splitlines()[1:]]
    assert [r[0] for r in rows] == batch
    assert [r[6] for r in rows] == ["ok", "failed", "failed", "failed", "failed", "failed", "ok"]
    assert tree(tmp_path / "out/streams") == {k: v for k, v in streams.items()
                                              if k.startswith(("spk0/sess0/utt00", "spk1/sess1/utt01"))}


@pytest.mark.parametrize("args", [
    ["--SHARD=3/3", "a.wav"], ["--SHARD=1", "a.wav"], ["--THREADS=-1", "a.wav"],
    ["--FORCE=2", "a.wav"], ["--OUTDIR=x"], ["--LIST=/nonexistent/list"],
    ["--OUTDIR=x", "--ORDER=500", "a.wav"], ["--OUTDIR=x", "--F0MIN=300", "--F0MAX=200", "a.wav"],
])
def test_wrong_batch_arguments_are_usage_errors(tmp_path, args):
    done = run(tmp_path, *args, check_status=255)
    assert done.stdout.startswith("Incorrect input arguments:")
    assert not any(tmp_path.iterdir())
