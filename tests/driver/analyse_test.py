#!/usr/bin/env python3
"""End-to-end tests of vallisynth-analyse: recordings analysed and resynthesised.

    analyse_test.py VALLISYNTH ANALYSE errors
    analyse_test.py VALLISYNTH ANALYSE roundtrip RATE [--CCFORM=1] [--modify]

The recording is espeak-ng speech made at test time and resampled with sox;
SPTK's mgc2sp cross-checks the envelopes. Exits with 77 (a skip for CTest)
when SPTK, sox or espeak-ng is missing.
"""
import math
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import wave
from array import array

SKIP = 77
SPTK_DIRS = os.pathsep.join([os.environ.get("PATH", ""), "/usr/libexec/sptk/bin"])
TEXT = "Please call Stella. Ask her to bring these things with her from the store."
UNVOICED = -1.0e10


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def run(cmd):
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        fail("%s exited with %d: %s" % (" ".join(cmd), r.returncode, r.stderr.strip()))
    return r.stdout


def read_wav(path):
    with wave.open(path, "rb") as w:
        a = array("h", w.readframes(w.getnframes()))
        return w.getframerate(), a


def read_floats(path):
    with open(path, "rb") as f:
        return array("f", f.read())


def speech(work, rate):
    """espeak-ng speech at `rate`, 6 dB below espeak's level so that the
    resynthesis, whose minimum-phase pulses are peakier, does not clip."""
    raw, path = os.path.join(work, "espeak.wav"), os.path.join(work, "in%d.wav" % rate)
    run(["espeak-ng", "-w", raw, TEXT])
    run(["sox", raw, "-r", str(rate), "-b", "16", path, "gain", "-6"])
    return path


class Analysis:
    """One run of the tool: its streams and the command it printed."""

    def __init__(self, tool, wav, prefix, extra=()):
        self.command = shlex.split(run([tool, wav, prefix] + list(extra)).strip())
        self.lf0, self.cc = read_floats(prefix + ".lf0"), read_floats(prefix + ".cc")
        self.fv = read_floats(prefix + ".fv")
        if len(self.fv) != len(self.lf0):
            fail("%s: %d fv values for %d frames" % (prefix, len(self.fv), len(self.lf0)))
        if len(self.cc) % len(self.lf0):
            fail("%s: %d cepstral values for %d frames" % (prefix, len(self.cc), len(self.lf0)))
        self.order = len(self.cc) // len(self.lf0) - 1

    def render(self, exe, out, extra=()):
        run([exe] + self.command[1:4] + [out] + self.command[5:] + list(extra))
        return read_wav(out)


def default_alpha(rate):
    """The decoder's all-pass constant for the rate."""
    return {8000: 0.31, 16000: 0.42, 22050: 0.45, 48000: 0.55}[rate]


def envelope_lsd(cc_a, cc_b, order, alpha, fftlen, frames):
    """Mean log-spectral distance (dB) between the mel-cepstral envelopes of
    the listed frames, on a linear frequency axis."""
    spectra = []
    for cc in (cc_a, cc_b):
        proc = subprocess.run(
            ["mgc2sp", "-a", repr(alpha), "-g", "0", "-m", str(order), "-l", str(fftlen), "-o", "1"],
            input=cc.tobytes(), capture_output=True, env=dict(os.environ, PATH=SPTK_DIRS), check=True)
        spectra.append(array("f", proc.stdout))
    bins = fftlen // 2 + 1
    return statistics.mean(
        math.sqrt(sum((x - y) ** 2 for x, y in zip(*(s[k * bins:(k + 1) * bins] for s in spectra))) / bins)
        for k in frames)


def f0_pairs(a, b):
    return [(math.exp(x), math.exp(y)) for x, y in zip(a, b) if x > UNVOICED and y > UNVOICED]


def roundtrip(exe, tool, rate, ccform, modify):
    extra = ["--CCFORM=1"] if ccform else []
    with tempfile.TemporaryDirectory() as work:
        j = lambda name: os.path.join(work, name)
        src = speech(work, rate)
        _, x = read_wav(src)
        inp = Analysis(tool, src, j("in"), extra)
        shift = int(math.floor(rate * 0.005 + 0.5))
        fs_out, y = inp.render(exe, j("out.wav"))
        if fs_out != rate:
            fail("output at %d Hz, not %d" % (fs_out, rate))
        if abs(len(y) - len(x)) > shift:
            fail("output %d samples, input %d: more than a frame (%d) apart" % (len(y), len(x), shift))

        # The level over the stretches voiced in the input.
        spans = [((k + 1) * shift - shift // 2, (k + 1) * shift + shift // 2)
                 for k, v in enumerate(inp.lf0) if v > UNVOICED]
        db = lambda s: 10 * math.log10(sum(s[i] ** 2 for a, b in spans for i in range(a, min(b, len(s))))
                                       / sum(min(b, len(s)) - a for a, b in spans) + 1e-12)
        level = db(y) - db(x)

        out = Analysis(tool, j("out.wav"), j("out"), extra)
        pairs = f0_pairs(inp.lf0, out.lf0)
        if len(pairs) < len(spans) // 2:
            fail("only %d frames voiced in both, of %d voiced in the input" % (len(pairs), len(spans)))
        f0_err = statistics.median(abs(b / a - 1) for a, b in pairs)

        # Envelopes of the frames voiced in the input; both analyses share
        # frame positions, so frame k of one faces frame k of the other.
        frames = [k for k, v in enumerate(inp.lf0) if v > UNVOICED and k < len(out.lf0)]
        fftlen = 1 << (int(rate * 0.025 + 0.5) - 1).bit_length()
        lsd = envelope_lsd(inp.cc, out.cc, inp.order, default_alpha(rate), fftlen, frames)

        print("%d Hz: %d -> %d samples, level %+.2f dB over voiced stretches, "
              "median f0 error %.2f %% (%d frames), envelope LSD %.2f dB"
              % (rate, len(x), len(y), level, 100 * f0_err, len(pairs), lsd))
        if abs(level) > 1.0:
            fail("level differs by %.2f dB" % level)
        if f0_err >= 0.01:
            fail("median f0 error %.2f %%" % (100 * f0_err))
        if lsd > 4.0:
            fail("envelope LSD %.2f dB" % lsd)

        if modify:
            inp.render(exe, j("up.wav"), ["--FPITCH=1.5"])
            up = Analysis(tool, j("up.wav"), j("up"))
            ratio = statistics.median(b / a for a, b in f0_pairs(inp.lf0, up.lf0))
            _, y3 = inp.render(exe, j("slow.wav"), ["--FDUR=2"])
            print("--FPITCH=1.5: median f0 ratio %.3f; --FDUR=2: %d samples" % (ratio, len(y3)))
            if abs(ratio / 1.5 - 1) > 0.03:
                fail("f0 ratio %.3f, not 1.5" % ratio)
            if abs(len(y3) - 2 * len(x)) > 2 * shift:
                fail("--FDUR=2 gave %d samples for %d" % (len(y3), len(x)))


def expect_error(tool, args, words, folder):
    """The tool must fail with one line naming the problem, writing nothing."""
    r = subprocess.run([tool] + args, capture_output=True, text=True)
    lines = r.stdout.strip().splitlines()
    usage = any(w == "usage" for w in words)
    want = 255 if usage else 1
    if r.returncode != want or not lines or not lines[0].startswith(
            "Incorrect input arguments" if usage else "Error:"):
        fail("%s: exit %d, output %r" % (args, r.returncode, r.stdout))
    if not all(w in lines[0] for w in words if w != "usage"):
        fail("%s: message %r lacks %s" % (args, lines[0], words))
    left = [f for f in os.listdir(folder) if f.startswith(("out", ".out"))]
    if left:
        fail("%s: left %s behind" % (args, left))


def errors(tool):
    with tempfile.TemporaryDirectory() as work:
        j = lambda name: os.path.join(work, name)
        src = speech(work, 16000)
        for name, options in (("stereo", ["-c", "2"]), ("float", ["-e", "floating-point", "-b", "32"]),
                              ("r96k", ["-r", "96000"]), ("r6k", ["-r", "6000"])):
            run(["sox", src] + options + [j(name + ".wav")])
        run(["sox", src, j("short.wav"), "trim", "0", "100s"])
        with open(j("text.wav"), "w") as f:
            f.write("not a wave file\n")
        with open(j("cut.wav"), "wb") as f, open(src, "rb") as g:
            f.write(g.read(30))
        with open(j("truncated.wav"), "wb") as f, open(src, "rb") as g:
            f.write(g.read(44 + 2000))
        # A float file with a NaN in it.
        with open(j("float.wav"), "rb") as f:
            data = bytearray(f.read())
        data[-400:-396] = b"\x00\x00\xc0\x7f"
        with open(j("nan.wav"), "wb") as f:
            f.write(data)
        os.mkdir(j("empty"))
        out = j("out")
        cases = [
            ([j("missing.wav"), out], ["missing.wav", "No such file"]),
            ([j("empty"), out], ["empty", "folder"]),
            ([j("text.wav"), out], ["text.wav"]),
            ([j("cut.wav"), out], ["cut.wav"]),
            ([j("nan.wav"), out], ["nan.wav", "not a finite number"]),
            ([j("r96k.wav"), out], ["96000 Hz"]),
            ([j("r6k.wav"), out], ["6000 Hz"]),
            ([j("short.wav"), out], ["too short"]),
            ([j("truncated.wav"), out], ["truncated.wav", "cut short"]),
            ([src, j("nofolder/out")], ["could not create", "nofolder"]),
            ([src], ["usage"]),
            ([src, out, "--ORDER=x"], ["usage", "ORDER"]),
            ([src, out, "--CCFORM=2"], ["usage", "CCFORM"]),
            ([src, out, "--BOGUS=1"], ["usage", "BOGUS"]),
            ([src, out, "--F0MIN=300", "--F0MAX=200"], ["usage", "F0MIN"]),
            ([j("stereo.wav"), out, "--CHANNEL=3"], ["channel 3"]),
        ]
        for args, words in cases:
            expect_error(tool, args, words, work)
        # Other files, other rates and several channels are read.
        r = subprocess.run([tool, j("stereo.wav"), out], capture_output=True, text=True)
        if r.returncode != 0 or "Warning: " not in r.stdout or "2 channels" not in r.stdout:
            fail("stereo: exit %d, output %r" % (r.returncode, r.stdout))
        for args in ([j("float.wav"), out], [j("r96k.wav"), out, "--FS=16000"], ["-", out]):
            with open(src, "rb") as stdin:
                r = subprocess.run([tool] + args, capture_output=True, text=True, stdin=stdin)
            if r.returncode != 0 or not r.stdout.startswith("vallisynth "):
                fail("%s: exit %d, output %r" % (args, r.returncode, r.stdout))
        # A failure leaves earlier streams of the same prefix untouched.
        with open(out + ".lf0", "wb") as f:
            f.write(b"keep")
        r = subprocess.run([tool, j("nan.wav"), out], capture_output=True)
        with open(out + ".lf0", "rb") as f:
            if r.returncode == 0 or f.read() != b"keep":
                fail("a failed run touched the existing streams")
        left = [f for f in os.listdir(work) if ".tmp-" in f]
        if left:
            fail("temporary files left behind: %s" % left)
    print("every error reported")


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    exe, tool, mode = argv[0], argv[1], argv[2]
    for tool_name, package in (("pitch", "sptk"), ("mgc2sp", "sptk"), ("sox", "sox"), ("espeak-ng", "espeak-ng")):
        if shutil.which(tool_name, path=SPTK_DIRS) is None:
            print("skipped: %s not found (apt-get install %s)" % (tool_name, package))
            return SKIP
    if mode == "errors":
        errors(tool)
    else:
        roundtrip(exe, tool, int(argv[3]), "--CCFORM=1" in argv, "--modify" in argv)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
