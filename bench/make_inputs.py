#!/usr/bin/env python3
"""Writes the bench's inputs into a directory (never into the source tree).

    bench/make_inputs.py SOURCE-ROOT DATA-DIR

- speech: utt01..03 (order 24, alpha 0.42) repeated to 12000 frames, 60 s at
  the default 5 ms shift, no fv stream (fv follows c0), and the same streams
  in SPTK's form (speech.pitch, speech.mcep);
- batch/: 100 utterances of 3 s cut from the speech;
- worst: the costliest legal input, every frame voiced at 10 Hz with fv
  8000 Hz (799 harmonics a frame) at --FDUR=4, 3000 frames, again 60 s.
"""
import math
import os
import sys
from array import array

sys.path.insert(0, os.path.join(sys.argv[1], "tools"))
from floatstreams import readf, writef  # noqa: E402

src, out = os.path.join(sys.argv[1], "examples"), sys.argv[2]
os.makedirs(out, exist_ok=True)
P = 25
FRAMES = 12000
WORST_FRAMES = 3000
UNVOICED = -1e10
# The stored c0 is the HTS gain minus ln 32768 and ln sqrt(16000), plus 5.
C0_TO_SPTK = -5.0 + math.log(32768.0) + 0.5 * math.log(16000.0)

lf0, cc = array("f"), array("f")
for name in ("utt01", "utt02", "utt03"):
    lf0.extend(readf("%s/%s.lf0" % (src, name)))
    cc.extend(readf("%s/%s.cc" % (src, name)))
reps = -(-FRAMES // len(lf0))
lf0 = (lf0 * reps)[:FRAMES]
cc = (cc * reps)[:FRAMES * P]
writef(out + "/speech.lf0", lf0)
writef(out + "/speech.cc", cc)

# SPTK: pitch as a period in samples (0 unvoiced), c0 on the HTS scale; the
# other coefficients are already in the form mlsadf takes.
writef(out + "/speech.pitch",
       [0.0 if v <= UNVOICED else 16000.0 / math.exp(v) for v in lf0])
mcep = list(cc)
for t in range(FRAMES):
    mcep[t * P] += C0_TO_SPTK
writef(out + "/speech.mcep", mcep)

# A batch of 100 utterances of 3 s (600 frames) cut from the speech.
os.makedirs(out + "/batch", exist_ok=True)
for i in range(100):
    a = (i * 600) % (FRAMES - 600)
    writef("%s/batch/u%03d.lf0" % (out, i), lf0[a:a + 600])
    writef("%s/batch/u%03d.cc" % (out, i), cc[a * P:(a + 600) * P])

writef(out + "/worst.lf0", [math.log(10.0)] * WORST_FRAMES)
writef(out + "/worst.fv", [8000.0] * WORST_FRAMES)
writef(out + "/worst.cc", cc[:WORST_FRAMES * P])
