"""Headerless float32 stream files, as the decoder reads them.

Shared by tools/make_examples.sh and bench/run_bench.sh. Streams are
little-endian; hts_engine writes native-endian float32, which is the same
on the x86-64 and ARM machines these scripts run on.
"""
import struct
from array import array


def readf(path):
    a = array("f")
    with open(path, "rb") as f:
        a.frombytes(f.read())
    return a


def writef(path, values):
    with open(path, "wb") as f:
        f.write(struct.pack("<%df" % len(values), *values))
