"""The package at its edges: paths, big integers, keywords, error codes,
values that overflow, tracks in Hz, and objects that travel."""

import errno
import pickle
import warnings

import numpy as np
import pytest

import vallisynth as vs
from conftest import raises_value_error


def test_a_path_is_a_path(tmp_path, monkeypatch):
    # A NUL would cut the name short and name another file; "-" is a file.
    kept = tmp_path / "a"
    kept.write_bytes(b"kept")
    for call in (lambda: vs.write_wav(str(kept) + "\0.wav", np.zeros(10)),
                 lambda: vs.read_stream(str(kept) + "\0b"),
                 lambda: vs.write_wav(bytes(kept) + b"\0", np.zeros(10))):
        with pytest.raises(ValueError, match="null"):
            call()
    assert kept.read_bytes() == b"kept"
    monkeypatch.chdir(tmp_path)
    vs.write_wav("-", np.zeros(10))
    assert (tmp_path / "-").stat().st_size == 64
    (tmp_path / "-").write_bytes(np.float32([1, 2]).tobytes())
    assert list(vs.read_stream("-")) == [1, 2]


def test_integers_beyond_64_bits_and_misspelt_keywords_name_the_argument(utt):
    lf0, cc = utt(3)
    raises_value_error(lambda: vs.synthesize(lf0, cc, fs=2**64), "fs")
    raises_value_error(lambda: vs.synthesize(lf0, cc, frame_shift=np.uint64(2**63)), "frame_shift")
    raises_value_error(lambda: vs.synthesize(lf0, cc, threads=-2**70), "threads")
    raises_value_error(lambda: vs.Synthesizer(2**64), "order")
    raises_value_error(lambda: vs.NoiseSource().skip(-1), "frames")
    raises_value_error(lambda: vs.NoiseSource().skip(2**64), "frames")
    with pytest.raises(TypeError, match="'fpich'"):
        vs.synthesize(lf0, cc, fpich=1.2)
    with pytest.raises(TypeError, match="'gain'"):
        vs.utterance_stats(lf0, cc, gain=1.0)
    with pytest.raises(TypeError, match="fpitch"):
        vs.synthesize(lf0, cc, fpitch="1.2")


def test_library_messages_name_the_python_keywords(utt):
    lf0, cc = utt(3)
    for kwargs, word in (({"fs": 8000, "frame_shift": 1, "fdur": 0.25}, "frame_shift x fdur"),
                         ({"fvpitch": 2}, "fvpitch")):
        with pytest.raises(ValueError) as info:
            vs.Synthesizer(cc.shape[1] - 1, c0_limits=(0, 1), **kwargs)
        assert word in str(info.value)
        assert "pitch_range" not in str(info.value) and "duration_factor" not in str(info.value)


def test_error_codes_compare_with_ints():
    assert vs.ErrorCode.BAD_ARGUMENT == -1 and vs.ErrorCode(-6) is vs.ErrorCode.CREATE_FAILED
    assert vs.ErrorCode.NOT_STREAMABLE.name == "NOT_STREAMABLE"


def test_values_that_cannot_render_are_refused_or_silenced(utt):
    lf0, cc = utt(2)
    for kwargs, word in (({"gain": np.nan}, "gain"), ({"gain": np.inf}, "gain"),
                         ({"mean_lf0": np.nan, "fvpitch": 2}, "mean_lf0"),
                         ({"c0_limits": (np.nan, 1)}, "c0_limits")):
        raises_value_error(lambda: vs.synthesize(lf0, cc, **kwargs), word,
                           code=vs.ErrorCode.BAD_ARGUMENT)
    # A c0 of 800 (a byte-swapped stream) overflows its frame's envelope:
    # that frame is silent and counted, the others normalise as before.
    cc = cc.copy()
    cc[100, 0] = 800.0
    x = vs.synthesize(lf0, cc, normalize=True)
    assert np.all(np.isfinite(x)) and np.max(np.abs(x)) == pytest.approx(0.99)
    assert vs.utterance_stats(lf0, cc).nonfinite == 1
    assert vs.count_nonfinite_frames(lf0, cc) == 1


def test_strings_are_refused_not_parsed(utt):
    lf0, cc = utt(3)
    raises_value_error(lambda: vs.synthesize(lf0.astype(str), cc), "lf0", "numbers")
    raises_value_error(lambda: vs.synthesize(lf0, cc.astype(bytes)), "cc", "numbers")
    raises_value_error(lambda: vs.to_pcm16(["0.5"]), "x", "numbers")


def test_an_f0_track_in_hz_draws_a_warning(utt):
    lf0, cc = utt(1)
    hz = np.where(lf0 > -1e10, np.exp(lf0), 0.0)  # pyworld's f0
    with pytest.warns(UserWarning, match="Hz"):
        vs.synthesize(hz, cc)
    with pytest.warns(UserWarning, match="Hz"):
        vs.utterance_stats(hz, cc)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vs.synthesize(lf0, cc)
        # -inf, as np.log(0) gives, is an unvoiced marker: no fault.
        assert vs.count_nonfinite_frames(np.where(lf0 > -1e10, lf0, -np.inf), cc) == 0


def test_noise_sources_travel_and_say_where_they_stand(utt):
    lf0, cc = utt(3)
    noise = vs.NoiseSource()
    assert repr(noise) == "<vallisynth.NoiseSource at the beginning>"
    vs.synthesize(lf0, cc, noise=noise)
    moved = pickle.loads(pickle.dumps(noise))
    assert moved == noise and repr(moved) == repr(noise) != repr(vs.NoiseSource())
    assert np.array_equal(vs.synthesize(lf0, cc, noise=moved), vs.synthesize(lf0, cc, noise=noise))


def test_synthesizer_takes_threads_and_shows_its_state(utt):
    lf0, cc = utt(1)
    st = vs.utterance_stats(lf0, cc)
    synth = vs.Synthesizer(cc.shape[1] - 1, c0_limits=st.c0_limits, threads=2, fs=16000)
    y = np.concatenate([synth.push(lf0[:100], cc[:100]), synth.push(lf0[100:], cc[100:])])
    assert repr(synth) == (f"<vallisynth.Synthesizer order={cc.shape[1] - 1} fv_track=False "
                           f"fs=16000 latency=80 frames={len(lf0)}>")
    y = np.concatenate([y, synth.flush()])
    assert np.array_equal(y, vs.synthesize(lf0, cc))
    raises_value_error(lambda: vs.Synthesizer(24, c0_limits=(0, 1), threads=1025), "threads")
