"""A corpus at a time: analysis and decoding of many files, resumable, on
local processes or on any concurrent.futures.Executor (Dask distributed's
``Client.get_executor()`` included).

Files are sent to the executor in chunks, so that a cluster's cost per
task is paid once for many files; the workers write their outputs into
``out_dir`` themselves (a folder every worker can reach), each file through
a temporary file renamed into place, so that an output that exists is
complete. A file whose outputs exist and are not older than its inputs is
skipped unless ``force=True``: a run stopped at any moment and started again
ends with the same files, and returns the same rows, as one that never
stopped. Both functions return one :class:`Row` a file, in input order::

    from vallisynth import corpus
    rows = corpus.analyse(["a.wav", "b/c.flac"], "features")
    rows = corpus.decode(["features/a", "features/b/c"], "resynth")

Paths are mirrored under ``out_dir`` at their place relative to ``root``
(the current folder by default), as ``vallisynth-analyse --OUTDIR`` does.
``shard=(i, n)`` keeps every n-th file from the i-th (0-based), for job
arrays. The analysis runs the ``vallisynth-analyse`` program (the
``program`` argument, else $VALLISYNTH_ANALYSE, else the one on PATH), so
its outputs are the command line's, byte for byte.
"""

import concurrent.futures
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
import wave
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

COLUMNS = ("input", "duration_s", "frames", "voiced_share", "median_f0_hz", "median_fv_hz",
           "status", "message")
HEADER = "\t".join(COLUMNS)

# The analysis options and the program's names for them.
_ANALYSIS_OPTIONS = {
    "fs": "FS", "frame_shift": "LFRAME", "order": "ORDER", "alpha": "ALPHA",
    "f0_min": "F0MIN", "f0_max": "F0MAX", "cc_format": "CCFORM", "channel": "CHANNEL",
}
_TASKS_PER_WORKER = 4  # chunks a worker gets on average: balance against overhead
_MAX_CHUNK = 64


class Row(NamedTuple):
    """One file of a manifest. The numbers are None for a failed file, and
    the medians for one without a voiced frame."""

    input: str
    duration_s: Optional[float]
    frames: Optional[int]
    voiced_share: Optional[float]
    median_f0_hz: Optional[float]
    median_fv_hz: Optional[float]
    status: str  # "ok" or "failed"
    message: str

    def line(self) -> str:
        """The row as a manifest line (without its end), as the program writes it."""
        def fmt(value, form):
            return "" if value is None else form % value
        return "\t".join([
            _escape(self.input), fmt(self.duration_s, "%.3f"), fmt(self.frames, "%d"),
            fmt(self.voiced_share, "%.4f"), fmt(self.median_f0_hz, "%.2f"),
            fmt(self.median_fv_hz, "%.1f"), self.status, _escape(self.message)])

    @classmethod
    def parse(cls, line: str) -> "Row":
        """A manifest line read back."""
        fields = line.rstrip("\r\n").split("\t")
        if len(fields) != len(COLUMNS):
            raise ValueError(f"manifest line with {len(fields)} fields, not {len(COLUMNS)}: {line!r}")
        def num(text, kind):
            return None if text == "" else kind(text)
        return cls(_unescape(fields[0]), num(fields[1], float), num(fields[2], int),
                   num(fields[3], float), num(fields[4], float), num(fields[5], float),
                   fields[6], _unescape(fields[7]))


def _escape(text: str) -> str:
    return (text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
            .replace("\r", "\\r"))


def _unescape(text: str) -> str:
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            i += 1
            c = {"t": "\t", "n": "\n", "r": "\r"}.get(text[i], text[i])
        out.append(c)
        i += 1
    return "".join(out)


def read_manifest(path) -> List[Row]:
    """The rows of a manifest file (the program's or write_manifest's)."""
    with open(path, encoding="utf-8", newline="\n") as f:
        lines = f.read().split("\n")
    if not lines or lines[0] != HEADER:
        raise ValueError(f"{os.fspath(path)} is not a manifest (its first line is not the header)")
    return [Row.parse(line) for line in lines[1:] if line]


def write_manifest(path, rows: Iterable[Row]) -> None:
    """Writes rows as a manifest, atomically (a temporary file renamed)."""
    text = HEADER + "\n" + "".join(row.line() + "\n" for row in rows)
    _write_atomically(os.fspath(path), text.encode("utf-8"))


def _write_atomically(path: str, data: bytes) -> None:
    folder = os.path.dirname(path) or "."
    fd, temp = tempfile.mkstemp(dir=folder, prefix=os.path.basename(path) + ".tmp-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(temp, path)
    except BaseException:
        _remove(temp)
        raise


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _mirrored_stem(path: str, extension: bool = True) -> Optional[str]:
    """path with "." and ".." resolved and a leading "/" dropped, without its
    extension when it has one: its place under out_dir (None when it climbs
    out of its root)."""
    parts: List[str] = []
    for part in path.split("/"):
        if part == "..":
            if not parts:
                return None
            parts.pop()
        elif part not in ("", "."):
            parts.append(part)
    if not parts:
        return None
    dot = parts[-1].rfind(".")
    if extension and dot > 0:
        parts[-1] = parts[-1][:dot]
    return "/".join(parts)


def _failed(path: str, message: str) -> Row:
    return Row(path, None, None, None, None, None, "failed", message)


def _plan(paths, out_dir: str, shard, extension: bool) -> Tuple[List[str], Dict[str, Row]]:
    """The paths kept by the shard and the refused ones' rows: two paths with
    the same outputs are refused before sharding, as the program does."""
    paths = [os.fspath(p) for p in paths]
    if shard is not None:
        i, n = shard
        if not (isinstance(i, int) and isinstance(n, int) and 0 <= i < n):
            raise ValueError(f"shard must be (i, n) with 0 <= i < n, not {shard!r}")
    refused: Dict[str, Row] = {}
    owners: Dict[str, str] = {}
    kept = []
    for k, path in enumerate(paths):
        stem = _mirrored_stem(path, extension)
        if stem is None:
            reason = (f"{path} lies outside the current folder's tree: it has no place under "
                      f"{out_dir}")
        elif os.path.join(out_dir, stem) in owners:
            reason = (f"its outputs {os.path.join(out_dir, stem)}.* would replace those of "
                      f"{owners[os.path.join(out_dir, stem)]}")
        else:
            reason = None
            owners[os.path.join(out_dir, stem)] = path
        if shard is not None and k % shard[1] != shard[0]:
            continue
        kept.append(path)
        if reason:
            refused[path] = _failed(path, reason)
    return kept, refused


def _usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _chunks(items: Sequence[str], chunk_size: Optional[int], executor) -> List[List[str]]:
    if chunk_size is None:
        workers = getattr(executor, "_max_workers", None) or _usable_cores()
        chunk_size = max(1, min(_MAX_CHUNK, math.ceil(len(items) / (_TASKS_PER_WORKER * workers))))
    return [list(items[k:k + chunk_size]) for k in range(0, len(items), chunk_size)]


class _Progress:
    """Files done, through tqdm when it is installed, else a plain line on
    standard error at most every few seconds."""

    def __init__(self, total: int, enabled: bool, what: str):
        self.total, self.done, self.enabled = total, 0, enabled
        self.bar, self.shown, self.start = None, 0.0, time.monotonic()
        if enabled:
            try:
                from tqdm import tqdm
                self.bar = tqdm(total=total, unit="file", desc=what)
            except ImportError:
                self.what = what

    def update(self, n: int) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
        elif self.enabled and (time.monotonic() - self.shown > 5 or self.done == self.total):
            self.shown = time.monotonic()
            print(f"{self.what}: {self.done}/{self.total} files, "
                  f"{self.shown - self.start:.0f} s", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _run(task, chunks: List[List[str]], args, executor, progress: bool,
         what: str) -> Dict[str, Row]:
    """Runs task(chunk, *args(chunk)) for every chunk; the rows by path."""
    own = executor is None
    if own:
        executor = concurrent.futures.ProcessPoolExecutor(
            max_workers=max(1, min(_usable_cores(), len(chunks))))
    rows: Dict[str, Row] = {}
    bar = _Progress(sum(map(len, chunks)), progress, what)
    futures = {executor.submit(task, chunk, *args(chunk)): chunk for chunk in chunks}
    try:
        for future in concurrent.futures.as_completed(futures):
            for line in future.result():
                row = Row.parse(line)
                rows[row.input] = row
            bar.update(len(futures[future]))
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    finally:
        bar.close()
        if own:
            executor.shutdown(wait=True, cancel_futures=True)
    return rows


def _finish(kept: List[str], refused: Dict[str, Row], rows: Dict[str, Row],
            manifest) -> List[Row]:
    result = [refused.get(p) or rows[p] for p in kept]
    if manifest is not None:
        write_manifest(manifest, result)
    return result


def _previous_rows(manifest) -> Dict[str, str]:
    if manifest is None or not os.path.exists(manifest):
        return {}
    try:
        return {r.input: r.line() for r in read_manifest(manifest) if r.status == "ok"}
    except ValueError:
        return {}


def _find_program(program: Optional[str]) -> str:
    found = program or os.environ.get("VALLISYNTH_ANALYSE") or shutil.which("vallisynth-analyse")
    if not found:
        raise FileNotFoundError("vallisynth-analyse is not on PATH: install it, or name it with "
                                "program= or $VALLISYNTH_ANALYSE")
    return found


def _analyse_chunk(paths: List[str], program: Optional[str], root: str, out_dir: str,
                   options: List[str], previous: Dict[str, str]) -> List[str]:
    """Worker side: one run of the program over the chunk; its manifest lines.
    The previous manifest's rows of these files go into the run's own
    manifest, which the program reads back for the files it skips."""
    program = _find_program(program)
    folder = tempfile.mkdtemp(prefix="vallisynth-chunk-")
    try:
        manifest = os.path.join(folder, "manifest.tsv")
        with open(manifest, "w", encoding="utf-8") as f:
            f.write(HEADER + "\n" + "".join(previous[p] + "\n" for p in paths if p in previous))
        done = subprocess.run(
            [program, "--LIST=-", f"--OUTDIR={out_dir}", "--THREADS=1",
             f"--MANIFEST={manifest}", *options],
            input="".join(p + "\n" for p in paths).encode(), cwd=root,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = done.stdout.decode(errors="replace")
        if done.returncode == 255:
            raise ValueError(output.strip().splitlines()[0] if output.strip() else "usage error")
        if done.returncode not in (0, 1):
            raise RuntimeError(f"{program} ended with status {done.returncode}: {output.strip()}")
        with open(manifest, encoding="utf-8", newline="\n") as f:
            return [line for line in f.read().split("\n")[1:] if line]
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _program_options(force: bool, options: Dict[str, Any]) -> List[str]:
    args = ["--FORCE=1"] if force else []
    for name, value in options.items():
        if name not in _ANALYSIS_OPTIONS:
            raise TypeError(f"analyse() got an unexpected keyword argument {name!r}")
        if value is None:
            continue
        if name == "cc_format":
            if value not in ("stored", "sptk"):
                raise ValueError(f"cc_format must be 'stored' or 'sptk', not {value!r}")
            value = 1 if value == "sptk" else 0
        args.append(f"--{_ANALYSIS_OPTIONS[name]}={value!r}" if isinstance(value, float)
                    else f"--{_ANALYSIS_OPTIONS[name]}={value}")
    return args


def analyse(paths: Iterable, out_dir, *, executor: Optional[concurrent.futures.Executor] = None,
            progress: bool = True, force: bool = False, shard: Optional[Tuple[int, int]] = None,
            root=None, manifest=None, chunk_size: Optional[int] = None,
            program: Optional[str] = None, **analysis_options) -> List[Row]:
    """Analyses recordings into out_dir/<path without extension>.lf0, .cc and .fv.

    paths      recordings (WAV, FLAC, AIFF, Ogg), relative to root or absolute
    out_dir    folder of the outputs, reachable by every worker
    executor   where chunks run; None: a process pool over the usable cores
    progress   show files done (tqdm when installed)
    force      redo files whose outputs are up to date
    shard      (i, n): only every n-th path from the i-th (0-based)
    root       folder the relative paths start from; None: the current one
    manifest   write the rows there as a manifest (TSV), and take from it the
               rows of files that are skipped
    chunk_size files per task; None: about four tasks per worker, at most 64
    program    the vallisynth-analyse to run; None: $VALLISYNTH_ANALYSE or PATH's
    analysis_options  fs, frame_shift, order, alpha, f0_min, f0_max,
               cc_format ("stored" or "sptk") and channel, as vallisynth.analyse's

    Returns the rows in the order of the paths kept. A file that fails has a
    row with status "failed" and the reason; the others go on. Raises
    ValueError for options the program refuses.
    """
    root = os.path.abspath(os.fspath(root) if root is not None else os.getcwd())
    out_dir = os.path.abspath(os.fspath(out_dir))
    options = _program_options(force, analysis_options)
    kept, refused = _plan(paths, out_dir, shard, extension=True)
    previous = {} if force else _previous_rows(manifest)
    os.makedirs(out_dir, exist_ok=True)
    chunks = _chunks([p for p in kept if p not in refused], chunk_size, executor)
    # Each task carries only its own files' previous rows.
    rows = _run(_analyse_chunk, chunks,
                lambda chunk: (program, root, out_dir, options,
                               {p: previous[p] for p in chunk if p in previous}),
                executor, progress, "analyse")
    return _finish(kept, refused, rows, manifest)


def _stream_row(path: str, samples: int, fs: int, lf0: np.ndarray, fv: Optional[np.ndarray]) -> Row:
    """A decoded file's row, its statistics taken from the stored values as
    the program takes them."""
    voiced = lf0 > np.float32(-1e9)
    count = int(voiced.sum())
    f0 = fv_median = None
    if count:
        mid = (count - 1) // 2
        f0 = float("%.2f" % math.exp(float(np.partition(lf0[voiced], mid)[mid])))
        if fv is not None and len(fv) >= len(lf0):
            fv_median = float("%.1f" % float(np.partition(fv[:len(lf0)][voiced], mid)[mid]))
    return Row(path, float("%.3f" % (samples / fs)), len(lf0), float("%.4f" % (count / len(lf0))),
               f0, fv_median, "ok", "")


def _decode_one(prefix: str, root: str, out: str, force: bool, options: Dict[str, Any]) -> Row:
    import vallisynth as vs

    source = os.path.join(root, prefix)
    streams = [source + ".lf0", source + ".cc", source + ".fv"]
    has_fv = os.path.exists(streams[2])
    if not has_fv:
        streams.pop()
    fs = int(options.get("fs", 16000))
    lf0 = vs.read_stream(streams[0])
    fv = vs.read_stream(streams[2]) if has_fv else None
    newest = max(os.stat(s).st_mtime_ns for s in streams)
    if not force and os.path.exists(out) and os.stat(out).st_mtime_ns >= newest:
        with wave.open(out, "rb") as w:
            return _stream_row(prefix, w.getnframes(), w.getframerate(), lf0, fv)
    cc = vs.read_stream(streams[1])
    if len(lf0) == 0 or len(cc) % len(lf0) != 0:
        raise ValueError(f"{streams[1]} holds {len(cc)} values, not a whole number of rows "
                         f"for the {len(lf0)} frames of {streams[0]}")
    x = vs.synthesize(lf0, cc.reshape(len(lf0), -1), fv, **options)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=os.path.dirname(out), prefix=os.path.basename(out) + ".tmp-")
    os.close(fd)
    try:
        vs.write_wav(temp, x, fs)
        os.replace(temp, out)
    except BaseException:
        _remove(temp)
        raise
    return _stream_row(prefix, len(x), fs, lf0, fv)


def _decode_chunk(prefixes: List[str], root: str, out_dir: str, force: bool,
                  options: Dict[str, Any]) -> List[str]:
    """Worker side: decodes the chunk's files one after the other; their rows."""
    lines = []
    for prefix in prefixes:
        out = os.path.join(out_dir, _mirrored_stem(prefix, extension=False) + ".wav")
        try:
            row = _decode_one(prefix, root, out, force, options)
        except (OSError, ValueError, RuntimeError) as e:
            row = _failed(prefix, str(e).rstrip("."))
        lines.append(row.line())
    return lines


def decode(prefixes: Iterable, out_dir, *, executor: Optional[concurrent.futures.Executor] = None,
           progress: bool = True, force: bool = False, shard: Optional[Tuple[int, int]] = None,
           root=None, manifest=None, chunk_size: Optional[int] = None,
           **synthesis_options) -> List[Row]:
    """Decodes stream files (prefix.lf0, prefix.cc and, when it exists,
    prefix.fv) into out_dir/<prefix>.wav, the vallisynth program's bytes.

    prefixes   paths without the streams' extensions, relative to root or
               absolute
    synthesis_options  vallisynth.synthesize's keyword arguments (fs,
               frame_shift, alpha, cc_format, fpitch, ...)
    The other arguments and the rows returned are analyse()'s; a row's
    duration is the decoded file's, and its wav is up to date when it is not
    older than any of the streams.
    """
    root = os.path.abspath(os.fspath(root) if root is not None else os.getcwd())
    out_dir = os.path.abspath(os.fspath(out_dir))
    kept, refused = _plan(prefixes, out_dir, shard, extension=False)
    chunks = _chunks([p for p in kept if p not in refused], chunk_size, executor)
    options = dict(synthesis_options)
    rows = _run(_decode_chunk, chunks, lambda chunk: (root, out_dir, force, options), executor,
                progress, "decode")
    return _finish(kept, refused, rows, manifest)
