"""The analysis in Python: the same frames as the library's streaming and
one-shot forms, sample types, threads, errors, and a round trip."""

import threading

import numpy as np
import pytest

import vallisynth as vs


@pytest.fixture(scope="module")
def speech():
    """Two seconds of the decoder's speech from a gliding f0 track."""
    frames = 400
    t = np.arange(frames) / 200.0
    lf0 = np.log(120.0 * np.exp(0.3 * np.sin(2 * np.pi * 0.7 * t)))
    lf0[(t % 0.8) < 0.2] = -1e10
    cc = np.zeros((frames, 25))
    cc[:, 0], cc[:, 1], cc[:, 2] = -1.8, 1.2, 0.5
    return vs.synthesize(lf0, cc, np.full(frames, 4000.0)), lf0


def test_streaming_pieces_give_the_one_shot_frames(speech):
    x, _ = speech
    whole = vs.analyse(x, 16000)
    a = vs.Analyser(16000)
    assert a.latency <= 1600 and a.frame_shift == 80 and a.order == 24
    rng = np.random.default_rng(1)
    cuts = np.sort(rng.integers(0, len(x), 40))
    parts = [a.push(p) for p in np.split(x, cuts)] + [a.flush()]
    for name in ("lf0", "cc", "fv"):
        assert np.array_equal(np.concatenate([getattr(p, name) for p in parts]), getattr(whole, name))
    assert whole.cc.shape == (len(x) // 80 - 1 + (len(x) % 80 >= 40), 25)


def test_pitch_of_a_known_track_at_lag_zero(speech):
    x, lf0 = speech
    got = vs.analyse(x, 16000)
    both = (lf0 > -1e9) & (got.lf0 > -1e9)
    assert np.mean((lf0 > -1e9) != (got.lf0 > -1e9)) < 0.06
    assert np.median(np.abs(np.exp(got.lf0[both] - lf0[both]) - 1)) < 0.01


def test_sample_types_are_scaled_to_full_scale(speech):
    x, _ = speech
    pcm = np.round(x * 16384).astype(np.int16)
    as_int = vs.analyse(pcm, 16000, order=10, cc_format="sptk")
    as_float = vs.analyse(pcm / 32768.0, 16000, order=10, cc_format="sptk")
    assert np.array_equal(as_int.cc, as_float.cc)
    assert as_int.cc.shape[1] == 11


def test_threads_analyse_side_by_side(speech):
    x, _ = speech
    want = vs.analyse(x, 16000).cc
    results = [None] * 4

    def work(i):
        results[i] = vs.analyse(x, 16000).cc

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r, want) for r in results)


@pytest.mark.parametrize(
    "call, words",
    [
        (lambda: vs.analyse(np.zeros((2, 100)), 16000), "1-D"),
        (lambda: vs.analyse(np.zeros(100), 6000), "fs"),
        (lambda: vs.analyse(np.zeros(100), 16000, cc_format="x"), "cc_format"),
        (lambda: vs.analyse(np.array([0.0, np.nan]), 16000), "sample 1"),
        (lambda: vs.analyse(np.zeros(100), 16000, f0_min=500, f0_max=100), "f0"),
        (lambda: vs.analyse(np.array(["a"]), 16000), "x"),
        (lambda: vs.analyse(np.zeros(100), 2**64), "fs"),
        (lambda: vs.analyse(np.zeros(100), 16000, order=2**70), "order"),
        (lambda: vs.analyse(np.zeros(100), 16000, frame_shift=np.uint64(2**63)), "frame_shift"),
        (lambda: vs.Analyser(2**64), "fs"),
        (lambda: vs.read_audio("x.wav", fs=-1), "fs"),
    ],
)
def test_bad_arguments_raise_value_errors_naming_them(call, words):
    with pytest.raises(ValueError, match=words):
        call()


def test_read_audio_and_round_trip(speech, tmp_path, monkeypatch):
    x, _ = speech
    path = tmp_path / "in.wav"
    vs.write_wav(path, x, 16000)
    y, fs = vs.read_audio(path, fs=22050)
    assert fs == 22050 and abs(len(y) - len(x) * 22050 / 16000) < 2
    lf0, cc, fv = vs.analyse(y, fs)
    out = vs.synthesize(lf0, cc, fv, fs=fs)
    assert abs(10 * np.log10(np.mean(out[: len(y)] ** 2) / np.mean(y**2))) < 1.5
    with pytest.raises(FileNotFoundError) as missing:
        vs.read_audio(tmp_path / "missing.wav")
    assert missing.value.filename == str(tmp_path / "missing.wav")
    # A path is a path: a NUL is refused rather than naming another file,
    # and "-" is a file of that name, not standard input.
    with pytest.raises(ValueError, match="null"):
        vs.read_audio(str(path) + "\0.flac")
    (tmp_path / "-").write_bytes(path.read_bytes())
    monkeypatch.chdir(tmp_path)
    assert len(vs.read_audio("-").x) == len(x)
