#!/usr/bin/env python3
"""Times the Python package against the command line on a minute of speech.

    PYTHONPATH=build/test/python python3 bench/python_bench.py build/test/vallisynth

The example utterances are repeated to one minute (12000 frames at 5 ms).
Reported, each the best of several runs: the program decoding the streams'
files to a WAV file; synthesize() alone; the files-to-WAV path in Python
(read_stream, synthesize, write_wav); and two threads each rendering a
minute at once against the same two renders one after the other.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import vallisynth as vs

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
FRAMES = 12000  # one minute at 80 samples a frame, 16 kHz


def minute():
    lf0s, ccs = [], []
    n = 0
    while n < FRAMES:
        for u in ("utt01", "utt02", "utt03"):
            lf0 = vs.read_stream(EXAMPLES / f"{u}.lf0")
            lf0s.append(lf0)
            ccs.append(vs.read_stream(EXAMPLES / f"{u}.cc").reshape(len(lf0), -1))
            n += len(lf0)
    return np.concatenate(lf0s)[:FRAMES], np.concatenate(ccs)[:FRAMES]


def best(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program", help="the built vallisynth program")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    lf0, cc = minute()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        lf0.astype("<f4").tofile(tmp / "m.lf0")
        cc.astype("<f4").tofile(tmp / "m.cc")
        cmd = [args.program, str(tmp / "m.lf0"), str(tmp / "m.cc"), str(tmp / "cli.wav")]
        cli = best(lambda: subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL), args.repeats)

        render = best(lambda: vs.synthesize(lf0, cc), args.repeats)

        def files_to_wav():
            f0 = vs.read_stream(tmp / "m.lf0")
            vs.write_wav(tmp / "py.wav", vs.synthesize(f0, vs.read_stream(tmp / "m.cc")))

        files = best(files_to_wav, args.repeats)
        same = (tmp / "py.wav").read_bytes() == (tmp / "cli.wav").read_bytes()

    def serial():
        vs.synthesize(lf0, cc)
        vs.synthesize(lf0, cc)

    def parallel():
        threads = [threading.Thread(target=vs.synthesize, args=(lf0, cc)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    two_serial = best(serial, args.repeats)
    two_parallel = best(parallel, args.repeats)

    print(f"one minute of speech ({FRAMES} frames), best of {args.repeats}, {os.cpu_count()} cores")
    print(f"  command line, files to WAV:      {cli * 1e3:8.1f} ms")
    print(f"  Python synthesize():             {render * 1e3:8.1f} ms")
    print(f"  Python files to WAV:             {files * 1e3:8.1f} ms  (same bytes: {same})")
    print(f"  two minutes, one thread:         {two_serial * 1e3:8.1f} ms")
    print(f"  two minutes, two threads:        {two_parallel * 1e3:8.1f} ms  (speed-up {two_serial / two_parallel:.2f}x)")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
