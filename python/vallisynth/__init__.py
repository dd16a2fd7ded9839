"""vallisynth: harmonic-plus-noise speech decoder with a mel-cepstral envelope.

From per-frame parameter streams (log-f0, mel-cepstra, optionally the
maximum voiced frequency) it renders speech as numpy arrays of float64
samples, full scale 1.0, identical to the command line's output::

    import vallisynth as vs
    lf0 = vs.read_stream("utt01.lf0")
    cc = vs.read_stream("utt01.cc").reshape(len(lf0), -1)
    x = vs.synthesize(lf0, cc, fpitch=1.2)
    vs.write_wav("utt01.wav", x)

Arrays of numbers of any dtype and memory layout are accepted (strings are
refused). Wrong shapes and values raise ValueError naming the argument, an
unknown keyword TypeError; failures of the library raise VallisynthError (a
RuntimeError) whose .code is an ErrorCode (an IntEnum); the library's
argument failures are ArgumentError, both a VallisynthError and a
ValueError. A file that cannot be opened or written raises the OSError
subclass of the system's reason (FileNotFoundError, PermissionError...) with
errno, strerror and filename set, and .code too. A path is a path: "-" is a
file named "-". Rendering releases the interpreter lock: threads render in
parallel. There is no global state: the noise phases come from a
NoiseSource, fresh for each call unless one is passed on.

A recording is analysed into those streams, whole or as it comes::

    x, fs = vs.read_audio("speech.flac", fs=16000)
    lf0, cc, fv = vs.analyse(x, fs)

A Synthesizer renders frames as they come, with the same samples::

    st = vs.utterance_stats(lf0, cc)
    synth = vs.Synthesizer(cc.shape[1] - 1, c0_limits=st.c0_limits)
    x = np.concatenate([synth.push(lf0[k:k + 50], cc[k:k + 50])
                        for k in range(0, len(lf0), 50)] + [synth.flush()])
"""

from ._vallisynth import (
    Analyser,
    Analysis,
    ArgumentError,
    Audio,
    C0Limits,
    ErrorCode,
    NoiseSource,
    Synthesizer,
    UtteranceStats,
    VallisynthError,
    __version__,
    analyse,
    count_nonfinite_frames,
    default_alpha,
    default_frame_shift,
    normalize,
    read_audio,
    read_stream,
    synthesize,
    to_pcm16,
    utterance_stats,
    version,
    write_wav,
)

__all__ = [
    "Analyser",
    "Analysis",
    "ArgumentError",
    "Audio",
    "C0Limits",
    "ErrorCode",
    "NoiseSource",
    "Synthesizer",
    "UtteranceStats",
    "VallisynthError",
    "__version__",
    "analyse",
    "count_nonfinite_frames",
    "default_alpha",
    "default_frame_shift",
    "normalize",
    "read_audio",
    "read_stream",
    "synthesize",
    "to_pcm16",
    "utterance_stats",
    "version",
    "write_wav",
]
