"""The Python package: the command line's bytes, array handling, errors, threads."""

import concurrent.futures
import copy
import errno
import threading

import numpy as np
import pytest

import vallisynth as vs
from conftest import EXAMPLES, raises_value_error


# Keyword arguments of synthesize() beside the same options of the program.
OPTION_CASES = [
    ({"threads": 0}, []),
    ({"fpitch": 1.3, "fvpitch": 0.5, "gamma": 0.4}, ["--FPITCH=1.3", "--FVPITCH=0.5", "--GAMMA=0.4"]),
    ({"fdur": 1.37, "fwarp": -0.1, "normalize": True}, ["--FDUR=1.37", "--FWARP=-0.1", "--WAVNORM=1"]),
    ({"alpha": 0.35, "frame_shift": 100, "threads": 3}, ["--ALPHA=0.35", "--LFRAME=100"]),
    ({"fs": 22050, "cc_format": "sptk"}, ["--FS=22050", "--CCFORM=1"]),
]


@pytest.mark.parametrize("kwargs,options", OPTION_CASES)
@pytest.mark.parametrize("with_fv", [False, True])
def test_command_line_bytes(run_cli, utt, tmp_path, kwargs, options, with_fv):
    streams = utt(1, fv=with_fv)
    files = [EXAMPLES / "utt01.lf0", EXAMPLES / "utt01.cc"] + ([EXAMPLES / "utt01.fv"] if with_fv else [])
    if with_fv:
        kwargs = dict(kwargs, fv_alpha=0.1)
        options = options + ["--FVALPHA=0.1"]
    x = vs.synthesize(*streams, **kwargs)
    assert x.dtype == np.float64 and x.ndim == 1
    vs.write_wav(tmp_path / "a.wav", x, fs=kwargs.get("fs", 16000))
    assert (tmp_path / "a.wav").read_bytes() == run_cli(*files, options=options)


def test_batch_and_normalisation_as_the_program(run_cli, utt, tmp_path):
    # The program's batch draws its noise phases from one sequence that runs
    # on across the utterances: one NoiseSource passed on is the same.
    folder = run_cli(EXAMPLES / "utt??.lf0", EXAMPLES / "utt??.cc", options=["--INDLIST=1-3"], outname="b??.wav")
    noise = vs.NoiseSource()
    for n in (1, 2, 3):
        vs.write_wav(tmp_path / "a.wav", vs.synthesize(*utt(n), noise=noise))
        assert (tmp_path / "a.wav").read_bytes() == (folder / f"b{n:02d}.wav").read_bytes()
    # write_wav(normalize=True) and normalize() are the program's --WAVNORM=1.
    wav = run_cli(EXAMPLES / "utt02.lf0", EXAMPLES / "utt02.cc", options=["--WAVNORM=1"])
    x = vs.synthesize(*utt(2))
    vs.write_wav(tmp_path / "a.wav", x, normalize=True)
    vs.write_wav(str(tmp_path / "b.wav").encode(), vs.normalize(x))
    assert (tmp_path / "a.wav").read_bytes() == wav == (tmp_path / "b.wav").read_bytes()


def test_noise_source_runs_on_and_is_copied_and_reset(utt):
    lf0, cc = utt(3)
    fresh = vs.synthesize(lf0, cc)
    noise = vs.NoiseSource()
    first = vs.synthesize(lf0, cc, noise=noise)
    snapshot = copy.copy(noise)
    second = vs.synthesize(lf0, cc, noise=noise)
    assert np.array_equal(first, fresh)
    assert not np.array_equal(second, fresh)  # the sequence ran on
    assert np.array_equal(vs.synthesize(lf0, cc, noise=snapshot), second)
    assert np.array_equal(vs.synthesize(lf0, cc, noise=noise.copy()), vs.synthesize(lf0, cc, noise=copy.deepcopy(noise)))
    noise.reset()
    assert np.array_equal(vs.synthesize(lf0, cc, noise=noise), fresh)
    # Skipping an utterance's frames lands where rendering it does.
    skipped = vs.NoiseSource()
    skipped.skip(len(lf0), fdur=1.5)
    rendered = vs.NoiseSource()
    vs.synthesize(lf0, cc, fdur=1.5, noise=rendered)
    assert skipped == rendered and not skipped == vs.NoiseSource()
    with pytest.raises(vs.ArgumentError):
        skipped.skip(1, fdur=9.0)


def test_dtypes_and_layouts(utt):
    lf0, cc, fv = utt(1, fv=True)
    reference = vs.synthesize(lf0, cc, fv)
    frames, width = cc.shape

    # Wider arrays sliced with strides, reversed copies, Fortran order.
    wide = np.zeros((frames, 2 * width), dtype=np.float32)
    wide[:, ::2] = cc
    lf0_strided = np.repeat(lf0, 3)[::3]
    fv_reversed = np.ascontiguousarray(fv[::-1])[::-1]
    assert not wide[:, ::2].flags.c_contiguous and not fv_reversed.flags.c_contiguous
    cases = [
        (lf0.astype(np.float64), cc.astype(np.float64), fv.astype(np.float64)),
        (lf0_strided, wide[:, ::2], fv_reversed),
        (lf0, np.asfortranarray(cc), fv),
        (lf0.tolist(), cc.tolist(), fv.tolist()),
        (lf0, cc.ravel(), fv),  # flat cc: frame after frame
        (lf0, cc.astype(">f4"), fv.astype(np.longdouble)),  # big-endian, extended
    ]
    for args in cases:
        assert np.array_equal(vs.synthesize(*args), reference)

    # Integer arrays are taken at their values.
    fv_int = np.round(fv).astype(np.int32)
    assert np.array_equal(vs.synthesize(lf0, cc, fv_int), vs.synthesize(lf0, cc, fv_int.astype(np.float32)))
    # Integral floats are accepted where an integer is expected.
    assert np.array_equal(vs.synthesize(lf0, cc, fs=np.float32(16000.0), frame_shift=80.0), vs.synthesize(lf0, cc))


def test_helpers(tmp_path):
    # The 16-bit rule is the library's; here its array handling.
    assert vs.to_pcm16([0.5, -1.0, 7.0, np.nan]).tolist() == [16384, -32768, 32767, 0]
    assert vs.to_pcm16(np.zeros(3, dtype=np.float32)).dtype == np.int16
    grid = vs.to_pcm16(np.full((2, 3), 0.5, order="F"))
    assert grid.shape == (2, 3) and (grid == 16384).all()
    assert vs.to_pcm16([]).shape == (0,)
    assert vs.normalize([0.0, -2.0, 1.0]).tolist() == pytest.approx([0.0, -0.99, 0.495])
    assert vs.default_alpha(16000) == 0.42 and vs.default_alpha(48000) == 0.55
    assert vs.default_frame_shift(22050) == 110
    assert vs.__version__ == vs.version() and vs.__version__.count(".") == 2
    values = np.array([1.5, -1e10, np.pi], dtype="<f4")
    path = tmp_path / "s.bin"
    path.write_bytes(values.tobytes() + b"\x01\x02")  # trailing bytes ignored
    got = vs.read_stream(path)
    assert got.dtype == np.float32 and np.array_equal(got, values)
    assert np.array_equal(vs.read_stream(str(path)), values)


def test_nonfinite_frames(utt):
    lf0, cc, fv = (np.array(a, dtype=np.float64) for a in utt(2, fv=False) + (np.zeros(709),))
    assert vs.count_nonfinite_frames(lf0, cc) == 0
    lf0[5] = np.nan  # NaN is the unvoiced marker too, but not a finite value
    cc[7, 3] = np.inf
    fv[9] = np.nan
    assert vs.count_nonfinite_frames(lf0, cc) == 2
    assert vs.count_nonfinite_frames(lf0, cc.ravel(), fv) == 3
    raises_value_error(lambda: vs.count_nonfinite_frames(lf0, cc.ravel()[:-1]), "cc")
    raises_value_error(lambda: vs.count_nonfinite_frames(lf0, cc, fv[:-1]), "fv")


def test_argument_errors(utt):
    lf0, cc = utt(2)
    bad = vs.ErrorCode.BAD_ARGUMENT
    dims = vs.ErrorCode.DIMENSIONS
    s = vs.synthesize
    raises_value_error(lambda: s(lf0.reshape(-1, 1), cc), "lf0", "1-D")
    raises_value_error(lambda: s(lf0, cc[:-1]), "cc", "shape")
    raises_value_error(lambda: s(lf0, cc[None]), "cc", "3-D")
    raises_value_error(lambda: s(lf0, cc.ravel()[:-1]), "cc", code=dims)
    raises_value_error(lambda: s(lf0, cc, lf0[:-1]), "fv", code=dims)
    raises_value_error(lambda: s(lf0, cc, np.zeros((len(lf0), 1))), "fv", "1-D")
    raises_value_error(lambda: s([], []), "lf0", code=bad)
    raises_value_error(lambda: s(lf0, ["a"] * len(lf0)), "cc", "numbers")
    raises_value_error(lambda: s(lf0, cc, fpitch=5), "fpitch", code=bad)
    raises_value_error(lambda: s(lf0, cc, fvpitch=-1), "fvpitch", code=bad)
    raises_value_error(lambda: s(lf0, cc, fdur=0.1), "fdur", code=bad)
    raises_value_error(lambda: s(lf0, cc, fwarp=1.0), "fwarp", code=bad)
    raises_value_error(lambda: s(lf0, cc, alpha=1.0), "alpha", code=bad)
    raises_value_error(lambda: s(lf0, cc, fv_alpha=-1.5), "fv_alpha", code=bad)
    raises_value_error(lambda: s(lf0, cc, gamma=float("nan")), "gamma", code=bad)
    raises_value_error(lambda: s(lf0, cc, fs=7999), "fs")
    raises_value_error(lambda: s(lf0, cc, fs=16000.5), "fs")
    raises_value_error(lambda: s(lf0, cc, frame_shift=0), "frame_shift")
    raises_value_error(lambda: s(lf0, cc, cc_format="hts"), "cc_format")
    raises_value_error(lambda: s(lf0, cc, threads=-1), "threads")
    raises_value_error(lambda: vs.write_wav("x.wav", np.zeros((2, 2))), "x", "1-D")
    with pytest.raises(TypeError, match="noise"):
        s(lf0, cc, noise=object())
    with pytest.raises(TypeError, match="fs"):
        s(lf0, cc, fs="16000")
    with pytest.raises(TypeError):
        s(lf0, cc, 1.0, 2.0)  # options are keyword-only


def test_library_failures(tmp_path):
    # A file's failure is the OSError subclass of its reason, as open()'s.
    missing = tmp_path / "missing.lf0"
    with pytest.raises(FileNotFoundError) as info:
        vs.read_stream(missing)
    error = info.value
    assert (error.errno, error.filename) == (errno.ENOENT, str(missing))
    assert error.code == vs.ErrorCode.OPEN_FAILED
    (tmp_path / "short").write_bytes(b"\0\0\0")
    with pytest.raises(vs.VallisynthError, match="short") as info:
        vs.read_stream(tmp_path / "short")
    assert isinstance(info.value, RuntimeError) and not isinstance(info.value, ValueError)
    with pytest.raises(FileNotFoundError) as info:
        vs.write_wav(tmp_path / "no" / "such.wav", np.zeros(10))
    assert info.value.code == vs.ErrorCode.CREATE_FAILED
    assert not (tmp_path / "no").exists()
    with pytest.raises(OSError) as info:
        vs.write_wav("/dev/full", np.zeros(100000))
    assert info.value.errno == errno.ENOSPC and info.value.filename == "/dev/full"


def run_at_once(jobs):
    """Runs the functions in threads released together; their results."""
    barrier = threading.Barrier(len(jobs))

    def run(job):
        barrier.wait()
        return job()

    with concurrent.futures.ThreadPoolExecutor(len(jobs)) as pool:
        return list(pool.map(run, jobs))


def test_threads_render_as_serial(utt):
    # Renderings, a batch with a source of its own and a streaming decoder,
    # all at once, give the serial samples.
    streams = [utt(1, fv=True), utt(2), utt(3)]
    batch = vs.NoiseSource()
    serial = [vs.synthesize(*s) for s in streams] + [vs.synthesize(*s, noise=batch) for s in streams]

    def whole_batch():
        noise = vs.NoiseSource()
        return [vs.synthesize(*s, noise=noise) for s in streams]

    def streamed():
        lf0, cc, fv = streams[0]
        synth = vs.Synthesizer(cc.shape[1] - 1, fv_track=True)
        pieces = [synth.push(lf0[k:k + 7], cc[k:k + 7], fv[k:k + 7]) for k in range(0, len(lf0), 7)]
        return np.concatenate(pieces + [synth.flush()])

    results = run_at_once([lambda s=s: vs.synthesize(*s) for s in streams] + [whole_batch, streamed])
    got = results[:3] + results[3] + [results[4]]
    assert all(np.array_equal(a, b) for a, b in zip(got, serial + [serial[0]], strict=True))


def test_shared_noise_source_is_guarded(utt):
    # Two threads drawing from one source at once would make the result
    # depend on timing: the second is refused instead.
    lf0, cc = utt(1)
    lf0, cc = np.tile(lf0, 4), np.tile(cc, (4, 1))
    noise = vs.NoiseSource()

    def render():
        try:
            vs.synthesize(lf0, cc, noise=noise)
        except RuntimeError as e:
            return e

    errors = [e for e in run_at_once([render, render]) if e is not None]
    assert len(errors) <= 1
    for e in errors:
        assert "in use" in str(e)
