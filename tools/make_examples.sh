#!/bin/bash
# Rebuilds the example parameter streams in examples/ (or in the directory
# given as the first argument).
#
# Needs the Debian packages festival, festvox-ca-ona-hts and htsengine, plus
# python3; when run as root it installs any that are missing with apt-get.
#
# Route: festival turns each Catalan sentence into HTS full-context labels
# with the 16 kHz FestCat voice "ona"; hts_engine generates that voice's
# parameter trajectories from the labels (mel-cepstra of order 24 at all-pass
# constant 0.42, log-f0, and the excitation low-pass filter) at a 5 ms
# (80-sample) frame shift; a small python step rewrites them as the
# decoder's streams. The output is deterministic: neither tool draws random
# numbers while generating parameters.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${1:-$ROOT/examples}
PKGS=(festival festvox-ca-ona-hts htsengine)

missing=()
for p in "${PKGS[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages: ${missing[*]} (install them as root)" >&2
        exit 1
    fi
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

VOICE=$(dpkg -L festvox-ca-ona-hts | grep '\.htsvoice$' | head -n 1)
[ -f "$VOICE" ] || { echo "no .htsvoice file in festvox-ca-ona-hts" >&2; exit 1; }

# The sentences, numbered so that the decoder can run over them as an index
# list. utt01 also gets a maximum-voiced-frequency track.
TEXTS=(
    "Bon dia. Avui fa un dia molt bonic per passejar per la platja."
    "Quina hora és? Són les quatre i quart de la tarda."
    "El tren de Barcelona surt a les nou del matí."
)
FV_FOR=utt01

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$OUT"

for i in "${!TEXTS[@]}"; do
    name=$(printf 'utt%02d' $((i + 1)))
    # The Catalan front end reads Latin-1 (ISO-8859-15) text.
    {
        echo '(voice_upc_ca_ona_hts)'
        printf '(set! utt (Utterance Text "%s"))\n' "${TEXTS[$i]}"
        echo '(utt.synth utt)'
        printf '(hts_dump_feats utt hts_feats_list "%s/%s.lab")\n' "$WORK" "$name"
    } | iconv -f UTF-8 -t ISO-8859-15 > "$WORK/$name.scm"
    festival -b "$WORK/$name.scm" >/dev/null
    # The label times are festival's own guess; hts_engine ignores them and
    # uses the voice's duration model.
    hts_engine -m "$VOICE" -om "$WORK/$name.mcep" -of "$WORK/$name.lf0" \
        -ol "$WORK/$name.lpf" "$WORK/$name.lab"
    fv=0
    [ "$name" = "$FV_FOR" ] && fv=1
    PYTHONPATH="$ROOT/tools" python3 - "$WORK" "$OUT" "$name" "$fv" <<'EOF'
import math, os, sys

from floatstreams import readf, writef

work, out, name, want_fv = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1"
ORDER = 24
P = ORDER + 1
LPF_TAPS = 31
FS = 16000.0
UNVOICED = -1e10

# Stored cepstral form: coefficient 0 raised by 5, the others doubled.
# hts_engine's mel-cepstrum is the one-sided form ln|H| = c0 + sum cj cos(j w),
# so its c1..c24 already equal twice the symmetric coefficients and are kept
# bit for bit. Its c0 is the log gain of 16-bit samples analysed with
# power-normalised windows; on a full-scale-1.0 signal, with the envelope
# giving amplitude per square-root hertz, that gain loses ln 32768 and
# ln sqrt(fs).
C0_SHIFT = 5.0 - math.log(32768.0) - 0.5 * math.log(FS)

mcep = readf(os.path.join(work, name + ".mcep"))
lf0 = readf(os.path.join(work, name + ".lf0"))
lpf = readf(os.path.join(work, name + ".lpf"))
K = len(lf0)
assert len(mcep) == K * P, "mel-cepstrum frame count differs from log-f0"
assert len(lpf) == K * LPF_TAPS, "low-pass filter frame count differs"

lf0 = [UNVOICED if v <= UNVOICED else v for v in lf0]
cc = list(mcep)
for t in range(K):
    cc[t * P] += C0_SHIFT
voiced = [v > UNVOICED for v in lf0]


def lpf_cutoff(h):
    # The voice mixes a pulse train passed through this linear-phase FIR
    # with noise passed through its complement, so the frequency where the
    # FIR falls to half its DC gain is where the voiced part stops
    # dominating. Scan in 10 Hz steps, then interpolate linearly.
    mid = (len(h) - 1) / 2.0

    def gain(f):
        w = 2.0 * math.pi * f / FS
        return sum(c * math.cos(w * (n - mid)) for n, c in enumerate(h))

    half = 0.5 * gain(0.0)
    prev = gain(0.0)
    f = 0.0
    while f < FS / 2:
        g = gain(f + 10.0)
        if g <= half:
            return f + 10.0 * (prev - half) / (prev - g)
        prev, f = g, f + 10.0
    return FS / 2


if want_fv:
    # Maximum voiced frequency: the voice's own pulse/noise crossover in the
    # body of each voiced stretch. Periodicity is weakest where voicing
    # starts and stops, so the first and last four voiced frames ramp down
    # towards 4000 Hz. Unvoiced frames hold 0.
    FLOOR, RAMP = 4000.0, 4
    cut_cache = {}
    fv = [0.0] * K
    for t in range(K):
        if not voiced[t]:
            continue
        d = 1
        while d < RAMP + 1 and 0 <= t - d and t + d < K and voiced[t - d] and voiced[t + d]:
            d += 1
        h = tuple(lpf[t * LPF_TAPS:(t + 1) * LPF_TAPS])
        if h not in cut_cache:
            cut_cache[h] = lpf_cutoff(h)
        top = cut_cache[h]
        fv[t] = FLOOR + (top - FLOOR) * min(1.0, (d - 1) / RAMP)
    writef(os.path.join(out, name + ".fv"), fv)

writef(os.path.join(out, name + ".lf0"), lf0)
writef(os.path.join(out, name + ".cc"), cc)

# Check what was written by reading it back.
lf0_b = readf(os.path.join(out, name + ".lf0"))
cc_size = os.path.getsize(os.path.join(out, name + ".cc"))
assert cc_size == P * 4 * K, "cepstral file size"
hz = [math.exp(v) for v in lf0_b if v > UNVOICED]
cc_b = readf(os.path.join(out, name + ".cc"))
c0 = cc_b[0::P]
msg = "%s: %d frames (%.2f s), %d voiced, f0 %.1f-%.1f Hz, stored c0 %.3f to %.3f" % (
    name, K, K * 80 / FS, len(hz), min(hz), max(hz), min(c0), max(c0))
if want_fv:
    fv_b = readf(os.path.join(out, name + ".fv"))
    assert len(fv_b) == K
    fvv = [fv_b[t] for t in range(K) if voiced[t]]
    msg += ", fv %.0f-%.0f Hz" % (min(fvv), max(fvv))
print(msg)
EOF
done
