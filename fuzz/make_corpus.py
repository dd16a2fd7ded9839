#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/."""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def args(*words):
    return b"\0".join(w.encode() for w in words)


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


# Command lines: program name first, NUL-separated.
write("commandline", "plain", args("vallisynth", "a.lf0", "a.cc", "a.wav"))
write("commandline", "fv-options", args(
    "vallisynth", "a.lf0", "a.cc", "a.fv", "a.wav", "--LFRAME=80", "--FDUR=1.5",
    "--FPITCH=nan", "--FVPITCH=-1", "--FWARP=0.1", "--WAVNORM=1", "--GAMMA=0.3"))
write("commandline", "indlist", args(
    "vallisynth", "f??.lf0", "c??.cc", "o??.wav", "--INDLIST=1-10,12(2)", "--ALPHA=0.55"))
write("commandline", "bad-shift", args(
    "vallisynth", "a", "b", "c", "--LFRAME=-1", "--FDUR=0.25"))
write("commandline", "unread", args(
    "vallisynth", "a", "b", "--FDUR=2", "c", "--FPITCH=2", "--FPITCH=3", "--lframe=80"))
write("commandline", "help", b"vallisynth")

# Index lists, then a NUL and a file-name template.
write("indexlist", "intervals", b"1-10,12,15-20\0out/utt???.wav")
write("indexlist", "suffix", b"007-009(3)x\0set2/utt_??.lf0")
write("indexlist", "limits", b"2147483646-2147483647\0dir\\f??????????.cc")
write("indexlist", "triple", b"1-3-5,98-100\0f0_??.lf0")
write("indexlist", "invalid", b"1-5,5-9\0x?.cc")
write("indexlist", "toolarge", b"2147483648\0a/b")

# Stream files: raw little-endian floats, some with stray bytes.
write("paramfile", "empty", b"")
write("paramfile", "three", b"\1\2\3")
write("paramfile", "lf0", floats(math.log(120.0), -1e10, math.log(200.0)) + b"\0\0")
write("paramfile", "special", struct.pack("<6I", 0x7FC00000, 0x7F800000, 0xFF800000,
                                          0x00000001, 0x7E967699, 0x80000000))


def decode(shift, order, frames, streams, values, tables, body):
    head = struct.pack("<HBHBB", shift, order, frames, streams, values)
    return head + bytes(tables) + body


PLAUSIBLE = 1 | 2 | 4
voiced = bytes(range(8, 200, 7))
write("decode", "voiced-fv", decode(79, 24, 19, 1, PLAUSIBLE, [0, 0, 0, 0, 0], voiced))
write("decode", "c0-fv-postfilter", decode(159, 12, 9, 2, PLAUSIBLE, [0, 1, 3, 3, 0], voiced))
write("decode", "special-f0", decode(39, 4, 7, 1, PLAUSIBLE, [2, 2, 1, 2, 1], bytes(range(16))))
write("decode", "raw", decode(79, 24, 4, 1 | 4 | 8, 0, [0, 0, 0, 0, 1],
                              floats(math.log(100.0), float("nan"), 1e38, -1e10) * 8))
write("decode", "incompatible", decode(79, 2, 5, 16 | 32 | 1, PLAUSIBLE, [0] * 5, voiced))
write("decode", "order0-shift1", decode(0, 0, 3, 64 | 128, PLAUSIBLE, [0] * 5, voiced))
