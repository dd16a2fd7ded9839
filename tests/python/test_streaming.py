"""The streaming decoder: synthesize()'s samples for any way of cutting."""

import numpy as np
import pytest

import vallisynth as vs
from conftest import raises_value_error


def stream(synth, lf0, cc, fv=None):
    """Pushes the frames in pieces of random sizes (empty ones included)
    and flushes; checks each piece's size."""
    sizes = np.random.default_rng(len(lf0)).integers(0, 40, size=len(lf0))
    cuts = [0] + [int(b) for b in np.cumsum(sizes) if b < len(lf0)] + [len(lf0)]
    pieces = []
    for a, b in zip(cuts, cuts[1:]):
        y = synth.push(lf0[a:b], cc[a:b], None if fv is None else fv[a:b])
        assert y.dtype == np.float64 and y.shape == ((b - a) * synth.latency,)
        assert synth.frames == b
        pieces.append(y)
    tail = synth.flush()
    assert tail.shape == (synth.latency + 1,) and synth.frames == 0
    return np.concatenate(pieces + [tail])


@pytest.mark.parametrize("kwargs", [{}, {"fpitch": 1.3, "fvpitch": 0.5, "normalize": True, "fdur": 1.37,
                                         "gamma": 0.4, "fwarp": -0.1, "cc_format": "sptk"}])
@pytest.mark.parametrize("with_fv", [False, True])
def test_streaming_equals_one_shot(utt, kwargs, with_fv):
    # The utterance-wide values the options need, as utterance_stats gives
    # them, and the gain that normalize works out.
    lf0, cc, *rest = utt(1, fv=with_fv)
    fv = rest[0] if with_fv else None
    if with_fv:
        kwargs = dict(kwargs, fv_alpha=0.1)
    st = vs.utterance_stats(lf0, cc, fv, **kwargs)
    values = {"mean_lf0": st.mean_lf0, "c0_limits": None if with_fv else st.c0_limits}
    if kwargs.get("normalize"):
        values["gain"] = 0.99 / np.max(np.abs(vs.synthesize(lf0, cc, fv, **dict(kwargs, normalize=False))))
    synth = vs.Synthesizer(cc.shape[1] - 1, fv_track=with_fv, **kwargs, **values)
    assert (synth.order, synth.fv_track) == (cc.shape[1] - 1, with_fv)
    assert np.array_equal(stream(synth, lf0, cc, fv), vs.synthesize(lf0, cc, fv, **kwargs))


def test_utterances_in_a_row_and_reset(utt):
    # After flush() the next push starts a new utterance, and the noise
    # phases run on as through a batch with one NoiseSource, shared here by
    # two decoders. Rows may come flat, in any dtype.
    lf0, cc = utt(2)
    noise = vs.NoiseSource()
    first, second, third = (vs.synthesize(lf0, cc, noise=noise) for _ in range(3))
    shared = vs.NoiseSource()
    limits = vs.utterance_stats(lf0, cc).c0_limits
    synth = vs.Synthesizer(cc.shape[1] - 1, c0_limits=limits, noise=shared)
    assert np.array_equal(stream(synth, lf0, cc), first)
    y = synth.push(lf0.astype(np.float64), cc.ravel().tolist())
    assert np.array_equal(np.concatenate([y, synth.flush()]), second)
    other = vs.Synthesizer(cc.shape[1] - 1, c0_limits=limits, noise=shared)
    assert np.array_equal(stream(other, lf0, cc), third)
    # Half an utterance dropped: restart_noise starts the shared source
    # again; without it the phases drawn for the dropped frames stay drawn.
    half = len(lf0) // 2
    synth.push(lf0[:half], cc[:half])
    synth.reset(restart_noise=True)
    assert synth.frames == 0
    assert np.array_equal(stream(synth, lf0, cc), first)
    synth.push(lf0[:half], cc[:half])
    synth.reset()
    snapshot = shared.copy()
    assert np.array_equal(stream(synth, lf0, cc), vs.synthesize(lf0, cc, noise=snapshot))


def test_synthesize_with_declared_values(utt):
    lf0, cc = utt(2)
    st = vs.utterance_stats(lf0, cc, fpitch=1.2)
    kwargs = {"fpitch": 1.2, "fvpitch": 1.5}
    reference = vs.synthesize(lf0, cc, **kwargs)
    assert np.array_equal(vs.synthesize(lf0, cc, c0_limits=st.c0_limits, mean_lf0=st.mean_lf0, **kwargs), reference)
    assert not np.array_equal(vs.synthesize(lf0, cc, mean_lf0=st.mean_lf0 + 0.2, **kwargs), reference)
    lowest, highest = st.c0_limits
    assert not np.array_equal(vs.synthesize(lf0, cc, c0_limits=(lowest, highest + 1.0), **kwargs), reference)
    # A gain takes normalize's place: 0.5 halves every sample exactly.
    plain = vs.synthesize(lf0, cc)
    assert np.array_equal(vs.synthesize(lf0, cc, gain=0.5), plain * 0.5)
    assert np.array_equal(vs.synthesize(lf0, cc, gain=0.5, normalize=True), plain * 0.5)


def test_utterance_stats_values(utt):
    lf0, cc = (np.array(a, dtype=np.float64) for a in utt(3))
    st = vs.utterance_stats(lf0, cc)
    assert isinstance(st, vs.UtteranceStats) and isinstance(st.c0_limits, vs.C0Limits)
    voiced = lf0 > -1e10
    assert st.voiced == np.count_nonzero(voiced) and st.nonfinite == 0
    assert st.mean_lf0 == pytest.approx(lf0[voiced].mean(), abs=1e-12)
    assert st.c0_limits == (cc[:, 0].min(), cc[voiced, 0].max())
    # fpitch shifts the mean log-f0; a NaN frame is left out of everything.
    assert vs.utterance_stats(lf0, cc, fpitch=2.0).mean_lf0 == pytest.approx(st.mean_lf0 + np.log(2.0))
    cc[np.argmin(cc[:, 0]), 0] = np.nan
    lf0[np.flatnonzero(voiced)[0]] = np.inf
    changed = vs.utterance_stats(lf0, cc)
    assert changed.nonfinite == 2 and changed.voiced == st.voiced - 1
    assert changed.c0_limits.lowest > st.c0_limits.lowest
    # No voiced frame: no mean.
    assert np.isnan(vs.utterance_stats(np.full(len(lf0), -1e10), cc).mean_lf0)


def test_refusals(utt):
    lf0, cc, fv = utt(1, fv=True)
    order = cc.shape[1] - 1
    synth = vs.Synthesizer(order, fv_track=True)
    plain = vs.Synthesizer(order, c0_limits=(0.0, 1.0))
    needs = {"code": vs.ErrorCode.NOT_STREAMABLE}
    # Options that need the whole utterance, unless its values are declared.
    raises_value_error(lambda: vs.Synthesizer(order), "c0_limits", **needs)
    raises_value_error(lambda: vs.Synthesizer(order, fv_track=True, fvpitch=0.5), "mean_lf0", **needs)
    raises_value_error(lambda: vs.Synthesizer(order, fv_track=True, normalize=True), "gain", **needs)
    raises_value_error(lambda: synth.push(lf0[:5], cc[:5, :-1], fv[:5]), "cc", "shape")
    raises_value_error(lambda: synth.push(lf0[:5], cc[:4], fv[:5]), "cc", "shape")
    raises_value_error(lambda: synth.push(lf0[:5], cc[:5].ravel()[:-1], fv[:5]), "cc", "1-D")
    raises_value_error(lambda: synth.push(lf0[:5], cc[:5]), "fv", "fv_track")
    raises_value_error(lambda: synth.push(lf0[:5], cc[:5], fv[:6]), "fv", "one per frame")
    raises_value_error(lambda: synth.push(lf0[:5, None], cc[:5], fv[:5]), "lf0", "1-D")
    raises_value_error(lambda: plain.push(lf0[:5], cc[:5], fv[:5]), "fv_track=False")
    raises_value_error(lambda: vs.Synthesizer(-1, fv_track=True), "order")
    raises_value_error(lambda: vs.Synthesizer(24, c0_limits=(1.0, 2.0, 3.0)), "c0_limits")
    raises_value_error(lambda: vs.Synthesizer(24, fv_track=True, fdur=9.0), "fdur")
    assert synth.frames == 0  # nothing was rendered
    st = vs.utterance_stats(lf0, cc)
    vs.Synthesizer(order, c0_limits=st.c0_limits, fvpitch=0.5, mean_lf0=st.mean_lf0, normalize=True, gain=1.0)
    assert vs.Synthesizer(24, fv_track=True, fdur=1.37).latency == 109
    assert vs.Synthesizer(24, fv_track=True, fs=22050).latency == 110
