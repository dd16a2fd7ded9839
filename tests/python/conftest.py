"""Fixtures of the package's tests: the shipped examples and the program."""

import os
import pathlib
import subprocess

import pytest

import vallisynth as vs

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


@pytest.fixture(scope="session")
def run_cli(tmp_path_factory):
    """Runs the built program on files; returns the output WAV file's bytes,
    or for a batch (an output template) the folder it wrote into."""
    exe = os.environ.get("VALLISYNTH_EXE") or str(ROOT / "build" / "test" / "vallisynth")
    if not pathlib.Path(exe).exists():
        pytest.skip("VALLISYNTH_EXE (which CTest sets) names no built program")
    folder = tmp_path_factory.mktemp("cli")
    counter = iter(range(1 << 30))

    def run(*files, options=(), outname=None):
        out = folder / (outname or f"out{next(counter)}.wav")
        args = [exe, *map(str, files), str(out), *options]
        done = subprocess.run(args, capture_output=True, text=True, check=True)
        assert "Error" not in done.stdout, done.stdout
        return out.read_bytes() if out.exists() else folder

    return run


@pytest.fixture(scope="session")
def utt():
    """The example utterances' streams as float32 arrays, cc as rows."""

    def load(n, fv=False):
        lf0 = vs.read_stream(EXAMPLES / f"utt{n:02d}.lf0")
        cc = vs.read_stream(EXAMPLES / f"utt{n:02d}.cc").reshape(len(lf0), -1)
        if fv:
            return lf0, cc, vs.read_stream(EXAMPLES / f"utt{n:02d}.fv")
        return lf0, cc

    return load


def raises_value_error(call, *words, code=None):
    """call must raise a ValueError naming the words, an ArgumentError with
    the code when one is given."""
    with pytest.raises(ValueError) as info:
        call()
    for word in words:
        assert word in str(info.value), str(info.value)
    if code is not None:
        assert isinstance(info.value, vs.ArgumentError) and info.value.code == code
