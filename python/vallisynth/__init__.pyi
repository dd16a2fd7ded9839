import enum
import os
from typing import NamedTuple, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Int = Union[int, float, np.integer, np.floating]

__version__: str

class ErrorCode(enum.IntEnum):
    """What a VallisynthError reports (VallisynthError.code); compares with ints.
    A file's failure with the system's reason is an OSError (FileNotFoundError,
    PermissionError...) with errno and filename, whose .code is one of these too."""

    BAD_ARGUMENT = -1
    DIMENSIONS = -2
    TOO_LONG = -3
    OUT_OF_MEMORY = -4
    OPEN_FAILED = -5
    CREATE_FAILED = -6
    NOT_STREAMABLE = -7

class VallisynthError(RuntimeError):
    """A failure reported by the library; .code says which."""

    code: ErrorCode

class ArgumentError(VallisynthError, ValueError):
    """A VallisynthError caused by an argument's value, the streams' sizes or a
    missing utterance-wide value (NOT_STREAMABLE)."""

class C0Limits(NamedTuple):
    """The c0 range from which fv follows without an fv track."""

    lowest: float
    highest_voiced: float

class UtteranceStats(NamedTuple):
    """What utterance_stats() works out from the whole utterance."""

    c0_limits: C0Limits
    mean_lf0: float
    voiced: int
    nonfinite: int

_Limits = Union[C0Limits, Sequence[float], npt.ArrayLike]

class NoiseSource:
    """The noise-phase sequence; pass one on to render a batch."""

    def __init__(self) -> None: ...
    def reset(self) -> None:
        """Back to the beginning of the sequence."""
    def skip(
        self, frames: int, fs: int = 16000, frame_shift: int | None = None, fdur: float = 1.0
    ) -> None:
        """Moves on past `frames` frames' noise phases without rendering them."""
    def __eq__(self, other: object) -> bool: ...
    def copy(self) -> NoiseSource:
        """A new source at the same position."""
    def __copy__(self) -> NoiseSource: ...
    def __deepcopy__(self, memo: object) -> NoiseSource: ...
    def __getstate__(self) -> tuple[bytes]: ...
    def __setstate__(self, state: tuple[bytes]) -> None: ...

def synthesize(
    lf0: npt.ArrayLike,
    cc: npt.ArrayLike,
    fv: Optional[npt.ArrayLike] = None,
    *,
    fs: _Int = 16000,
    frame_shift: Optional[_Int] = None,
    alpha: Optional[float] = None,
    gamma: float = 0.0,
    fv_alpha: float = 0.0,
    fpitch: float = 1.0,
    fvpitch: float = 1.0,
    fdur: float = 1.0,
    fwarp: float = 0.0,
    normalize: bool = False,
    cc_format: str = "stored",
    c0_limits: Optional[_Limits] = None,
    mean_lf0: Optional[float] = None,
    gain: Optional[float] = None,
    noise: Optional[NoiseSource] = None,
    threads: int = 1,
) -> npt.NDArray[np.float64]:
    """Renders one utterance; returns float64 samples, full scale 1.0."""

def utterance_stats(
    lf0: npt.ArrayLike,
    cc: npt.ArrayLike,
    fv: Optional[npt.ArrayLike] = None,
    *,
    fs: _Int = 16000,
    frame_shift: Optional[_Int] = None,
    alpha: Optional[float] = None,
    gamma: float = 0.0,
    fv_alpha: float = 0.0,
    fpitch: float = 1.0,
    fvpitch: float = 1.0,
    fdur: float = 1.0,
    fwarp: float = 0.0,
    normalize: bool = False,
    cc_format: str = "stored",
) -> UtteranceStats:
    """The utterance-wide values a Synthesizer needs to render synthesize()'s samples."""

class Synthesizer:
    """The streaming decoder: frames in, final samples out, synthesize()'s samples."""

    def __init__(
        self,
        order: _Int,
        *,
        fv_track: bool = False,
        fs: _Int = 16000,
        frame_shift: Optional[_Int] = None,
        alpha: Optional[float] = None,
        gamma: float = 0.0,
        fv_alpha: float = 0.0,
        fpitch: float = 1.0,
        fvpitch: float = 1.0,
        fdur: float = 1.0,
        fwarp: float = 0.0,
        normalize: bool = False,
        cc_format: str = "stored",
        c0_limits: Optional[_Limits] = None,
        mean_lf0: Optional[float] = None,
        gain: Optional[float] = None,
        noise: Optional[NoiseSource] = None,
        threads: int = 1,
    ) -> None: ...
    def push(
        self, lf0: npt.ArrayLike, cc: npt.ArrayLike, fv: Optional[npt.ArrayLike] = None
    ) -> npt.NDArray[np.float64]:
        """Pushes frames; returns the frames x latency samples that became final."""
    def flush(self) -> npt.NDArray[np.float64]:
        """Ends the utterance: returns its last latency + 1 samples."""
    def reset(self, restart_noise: bool = False) -> None:
        """Drops what was pushed; restart_noise also restarts the noise phases."""
    @property
    def latency(self) -> int:
        """Samples each pushed frame releases: the frame shift times fdur."""
    @property
    def frames(self) -> int:
        """Frames pushed since the utterance began."""
    @property
    def order(self) -> int:
        """The cepstral order."""
    @property
    def fv_track(self) -> bool:
        """Whether each push brings fv values."""

def count_nonfinite_frames(
    lf0: npt.ArrayLike,
    cc: npt.ArrayLike,
    fv: Optional[npt.ArrayLike] = None,
    *,
    fv_alpha: float = 0.0,
) -> int:
    """Number of frames holding a value that is not finite."""

def to_pcm16(x: npt.ArrayLike) -> npt.NDArray[np.int16]:
    """The 16-bit samples of x exactly as the WAV writer makes them."""

def normalize(x: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """A copy of x scaled so that its largest magnitude is 0.99."""

def read_stream(path: _Path) -> npt.NDArray[np.float32]:
    """Reads a headerless little-endian float32 parameter stream."""

def write_wav(path: _Path, x: npt.ArrayLike, fs: _Int = 16000, normalize: bool = False) -> None:
    """Writes x as a 16-bit mono PCM WAV file at fs Hz."""

def default_alpha(fs: _Int) -> float:
    """The conventional all-pass constant for a sampling rate in Hz."""

def default_frame_shift(fs: _Int) -> int:
    """The default frame shift for a sampling rate: 5 ms in whole samples."""

def version() -> str:
    """The library's version, "major.minor.patch"."""

class Analysis(NamedTuple):
    """Streams of an analysed recording."""

    lf0: npt.NDArray[np.float64]
    cc: npt.NDArray[np.float64]
    fv: npt.NDArray[np.float64]

class Audio(NamedTuple):
    """A recording read by read_audio(): mono samples and their rate."""

    x: npt.NDArray[np.float64]
    fs: int

def analyse(
    x: npt.ArrayLike,
    fs: _Int,
    *,
    frame_shift: Optional[int] = None,
    order: int = 24,
    alpha: Optional[float] = None,
    f0_min: Optional[float] = None,
    f0_max: Optional[float] = None,
    cc_format: str = "stored",
) -> Analysis: ...

class Analyser:
    """Streaming analysis: exactly analyse()'s frames for any cutting."""

    def __init__(
        self,
        fs: _Int = 16000,
        *,
        frame_shift: Optional[int] = None,
        order: int = 24,
        alpha: Optional[float] = None,
        f0_min: Optional[float] = None,
        f0_max: Optional[float] = None,
        cc_format: str = "stored",
    ) -> None: ...
    def push(self, x: npt.ArrayLike) -> Analysis: ...
    def flush(self) -> Analysis: ...
    def reset(self) -> None: ...
    @property
    def latency(self) -> int: ...
    @property
    def frame_shift(self) -> int: ...
    @property
    def order(self) -> int: ...

def read_audio(path: _Path, fs: Optional[_Int] = None, channel: int = 0) -> Audio: ...
