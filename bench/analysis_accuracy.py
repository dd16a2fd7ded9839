#!/usr/bin/env python3
"""Accuracy of vallisynth-analyse against signals whose truth is known.

    bench/analysis_accuracy.py BUILD_DIR [--quick]

Known f0, voicing and fv: the decoder renders tracks made independently of
the analyser (SPTK's SWIPE' f0 and mcep envelopes of natural and espeak-ng
recordings, and a slowly varying fv track of 2 to 7 kHz) at 16 and 48 kHz,
at the tracks' pitch and with f0 doubled. Every rendering is analysed and
compared frame by frame at lag 0: gross pitch errors (more than 20 % off,
among frames voiced in both), median f0 error, voicing decision errors
(share of all frames), fv error. SPTK's SWIPE' (pitch -a 1) is run on the
same renderings, at the same range, side by side.

Known f0 and voicing from a statistical voice: festival's US English HTS
voice (festvox-us-slt-hts) makes log-f0 and mel-cepstrum streams for a few
sentences with hts_engine; SPTK's excite and mlsadf (fifth-order Pade, the
envelopes scaled into its range by mlsacheck) render them at 32 kHz
(at their pitch and with f0 doubled), sox takes the rendering to 16 and
48 kHz, and the analysis is compared with the streams at lag 0. Skipped
when festival, the voice or hts_engine is missing.

Natural recordings (pocketsphinx-testdata, espeak-ng): the level of the
decoded analysis against the recording's at 8, 16, 22.05 and 48 kHz, the
mel-cepstral distortion between the recording and its resynthesis (both
analysed by SPTK's mcep, order 24) and the median f0 error of the
resynthesis.

Needs numpy, sptk, sox, espeak-ng and pocketsphinx-testdata; for the HTS
voice's group also festival, festvox-us-slt-hts and htsengine.
"""
import glob
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

SPTK = "/usr/libexec/sptk/bin"
DATA = "/usr/share/pocketsphinx/test/data"
F0_RANGE = (50.0, 800.0)
ALPHAS = {8000: 0.31, 16000: 0.42, 22050: 0.45, 48000: 0.55}
TEXTS = ["Please call Stella. Ask her to bring these things with her from the store.",
         "The rainbow is a division of white light into many beautiful colors."]


def run(cmd, stdin=None, stdout=None):
    env = dict(os.environ, PATH=os.environ["PATH"] + os.pathsep + SPTK)
    r = subprocess.run(cmd, stdin=stdin, stdout=stdout or subprocess.PIPE,
                       stderr=subprocess.PIPE, env=env, check=False)
    if r.returncode != 0:
        sys.exit("%s failed: %s" % (" ".join(cmd), r.stderr.decode()))
    return r.stdout


def wav(path):
    import wave
    with wave.open(path, "rb") as w:
        x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2") / 32768.0
        return w.getframerate(), x


def floats(path):
    return np.fromfile(path, dtype="<f4").astype(np.float64)


def recordings(work, quick):
    """(name, 16 kHz WAV path) of every natural and espeak-ng recording."""
    out = []
    files = sorted(glob.glob(DATA + "/librivox/*.wav")) + sorted(glob.glob(DATA + "/cards/*.wav"))
    raws = sorted(glob.glob(DATA + "/*.raw"))
    if quick:
        files, raws = files[:3], raws[:1]
    for f in files:
        p = os.path.join(work, os.path.basename(f))
        run(["sox", "-R", f, "-r", "16000", "-c", "1", "-b", "16", p])
        out.append(("psphinx-" + os.path.basename(f)[-8:-4], p))
    for f in raws:
        p = os.path.join(work, os.path.basename(f)[:-4] + ".wav")
        run(["sox", "-R", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1", f, p])
        out.append(("psphinx-" + os.path.basename(f)[:-4], p))
    for voice in ["en-us", "en-us+f3"] if not quick else ["en-us"]:
        for i, t in enumerate(TEXTS):
            raw, p = os.path.join(work, "e.wav"), os.path.join(work, "espeak-%s-%d.wav" % (voice, i))
            run(["espeak-ng", "-v", voice, "-w", raw, t])
            run(["sox", "-R", raw, "-r", "16000", "-b", "16", p, "gain", "-6"])
            out.append(("espeak-" + voice + "-%d" % i, p))
    return out


HTS_VOICE = "/usr/share/festival/voices/us/cmu_us_slt_arctic_hts/hts/cmu_us_slt_arctic_hts.htsvoice"
HTS_TEXTS = TEXTS + ["Six spoons of fresh snow peas, five thick slabs of blue cheese.",
                     "We also need a small plastic snake and a big toy frog for the kids.",
                     "She can scoop these things into three red bags, and we will go meet her.",
                     "Wednesday at the train station, we will meet her at half past nine."]


def hts_renderings(work, quick):
    """(name, f0 factor, true f0 of each analysis frame (0 unvoiced), 32 kHz WAV)
    of the HTS voice's sentences, rendered by SPTK's excite and mlsadf. Empty
    when the voice or its tools are missing.

    excite's frame j spans samples 160 j to 160 (j + 1): it holds pulses only
    when the periods P_j and P_j+1 at both its ends are voiced, and the period
    moves linearly from one to the other across it. The rendering is delayed
    by half a frame, so that the analysis frame k, centred on sample
    160 (k + 1), sits in the middle of excite's frame k, where the voicing is
    that frame's and the period (P_k + P_k+1) / 2. Undelayed, every analysis
    centre would fall on a boundary where the voicing may switch."""
    import shutil
    if not (shutil.which("festival") and shutil.which("hts_engine") and os.path.exists(HTS_VOICE)):
        return []
    out = []
    for i, text in enumerate(HTS_TEXTS[:2] if quick else HTS_TEXTS):
        base = os.path.join(work, "hts%d" % i)
        script = base + ".scm"
        with open(script, "w") as f:
            f.write('(voice_cmu_us_slt_arctic_hts)\n(set! u (utt.synth (Utterance Text "%s")))\n'
                    '(hts_dump_feats u hts_feats_list "%s.lab")\n' % (text, base))
        run(["festival", "-b", script])
        run(["hts_engine", "-m", HTS_VOICE, "-om", base + ".mcep", "-of", base + ".lf0", base + ".lab"])
        lf0 = floats(base + ".lf0")
        # Most of the voice's frames are beyond what the MLSA filter's Pade
        # approximation renders faithfully (some beyond its stability): such
        # a filter rings at periods of its own, which no analysis should be
        # asked to ignore. The envelopes are scaled into the fifth-order
        # approximation's range, as SPTK's mlsacheck does.
        with open(base + ".mcep", "rb") as f, open(base + ".stable", "wb") as g:
            g.write(run(["mlsacheck", "-m", "44", "-a", "0.45", "-l", "1024", "-c", "3", "-r", "0",
                         "-P", "5"], stdin=f))
        for factor in (1.0, 2.0):
            voiced = lf0 > -1e9
            period = np.where(voiced, 32000.0 / (np.exp(np.where(voiced, lf0, 0.0)) * factor), 0.0)
            period.astype("<f4").tofile(base + ".pitch")
            with open(base + ".pitch", "rb") as f:
                excitation = run(["excite", "-n", "-p", "160"], stdin=f)
            with open(base + ".exc", "wb") as f:
                f.write(excitation)
            with open(base + ".exc", "rb") as f:
                y = np.frombuffer(run(["mlsadf", "-m", "44", "-a", "0.45", "-p", "160", "-P", "5",
                                       base + ".stable"], stdin=f), dtype="<f4").astype(np.float64)
            y *= 0.5 / np.max(np.abs(y))
            y = np.concatenate([np.zeros(80), y])
            raw, path = base + ".raw", "%s-x%g.wav" % (base, factor)
            y.astype("<f4").tofile(raw)
            run(["sox", "-R", "-t", "raw", "-r", "32000", "-e", "float", "-b", "32", "-c", "1", raw,
                 "-b", "16", path])
            both = (period[:-1] > 0) & (period[1:] > 0)
            truth = np.where(both, 32000.0 / np.maximum(0.5 * (period[:-1] + period[1:]), 1.0), 0.0)
            out.append(("hts-%d" % i, factor, truth, path))
    return out


def sptk_tracks(path, work):
    """SWIPE' log-f0 and mcep cepstra (SPTK form) at 16 kHz, frame k at (k + 1) 80."""
    fs, x = wav(path)
    raw = os.path.join(work, "x.f")
    (x * 32768.0).astype("<f4").tofile(raw)
    with open(raw, "rb") as f:
        lf0 = np.frombuffer(run(["pitch", "-a", "1", "-s", "16", "-p", "80", "-L", "50", "-H", "800",
                                 "-o", "2"], stdin=f), dtype="<f4").astype(np.float64)
    cc = mcep(raw, 16000, 80)
    frames = int(math.floor(len(x) / 80 + 0.5)) - 1
    lf0 = lf0[1:frames + 1]
    cc = cc[1:frames + 1]
    lf0[lf0 < -1e9] = -1e10
    return lf0, cc


def mcep(raw_f32, fs, shift):
    length = int(round(fs * 0.025))
    n = 1 << (length - 1).bit_length()
    with open(raw_f32, "rb") as f:
        p1 = subprocess.Popen([SPTK + "/frame", "-l", str(length), "-p", str(shift)], stdin=f,
                              stdout=subprocess.PIPE)
        p2 = subprocess.Popen([SPTK + "/window", "-l", str(length), "-L", str(n), "-w", "0", "-n", "1"],
                              stdin=p1.stdout, stdout=subprocess.PIPE)
        out = subprocess.run([SPTK + "/mcep", "-a", str(ALPHAS[fs]), "-m", "24", "-l", str(n),
                              "-e", "1e-8"], stdin=p2.stdout, capture_output=True).stdout
    return np.frombuffer(out, dtype="<f4").astype(np.float64).reshape(-1, 25)


def fv_track(frames, seed):
    """A slowly wandering fv between 2 and 7 kHz."""
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 120.0, frames)
    v = 4500.0 + np.cumsum(steps)
    v = 4500.0 + 2500.0 * np.tanh((v - 4500.0) / 2500.0)
    kernel = np.hanning(41) / np.hanning(41).sum()
    return np.clip(np.convolve(np.pad(v, 20, mode="edge"), kernel, mode="valid"), 2000, 7000)


def analyse(build, path, prefix, extra=()):
    run([build + "/vallisynth-analyse", path, prefix] + list(extra))
    lf0, fv = floats(prefix + ".lf0"), floats(prefix + ".fv")
    return lf0, floats(prefix + ".cc").reshape(len(lf0), -1), fv


def swipe(path, fs, shift, frames, work):
    _, x = wav(path)
    raw = os.path.join(work, "s.f")
    (x * 32768.0).astype("<f4").tofile(raw)
    with open(raw, "rb") as f:
        lf0 = np.frombuffer(run(["pitch", "-a", "1", "-s", str(fs / 1000.0), "-p", str(shift),
                                 "-L", "50", "-H", "800", "-o", "2"], stdin=f), dtype="<f4")
    lf0 = lf0.astype(np.float64)[1:frames + 1]
    return np.pad(lf0, (0, frames - len(lf0)), constant_values=-1e10)


def pitch_errors(truth_f0, est_lf0):
    n = min(len(truth_f0), len(est_lf0))
    t, e = truth_f0[:n], est_lf0[:n]
    tv, ev = t > 0, e > -1e9
    both = tv & ev
    ratio = np.exp(e[both]) / t[both]
    gross = np.abs(ratio - 1) > 0.2
    fine = np.abs(ratio[~gross] - 1)
    return dict(frames=n, both=int(both.sum()), gross=int(gross.sum()),
                fine=list(fine), vde=int((tv != ev).sum()))


def summarise(rows):
    frames = sum(r["frames"] for r in rows)
    both = sum(r["both"] for r in rows)
    fine = np.concatenate([np.array(r["fine"]) for r in rows])
    return (100.0 * sum(r["gross"] for r in rows) / max(both, 1),
            100.0 * np.median(fine) if len(fine) else float("nan"),
            100.0 * sum(r["vde"] for r in rows) / max(frames, 1))


def print_pitch_table(title, groups):
    print(title + "\n")
    print("| group | analyser | GPE % | median f0 error % | VDE % |")
    print("|---|---|---|---|---|")
    for key, g in groups.items():
        for who, label in (("ours", "vallisynth-analyse"), ("swipe", "SPTK SWIPE'")):
            gpe, med, vde = summarise(g[who])
            print("| %s | %s | %.2f | %.3f | %.2f |" % (key, label, gpe, med, vde))


def level_db(a, b):
    n = min(len(a), len(b))
    return 10 * math.log10(np.mean(b[:n] ** 2) / np.mean(a[:n] ** 2))


def main():
    build = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv
    work = tempfile.mkdtemp(prefix="accuracy-")
    recs = recordings(work, quick)
    # Known-f0 renderings.
    groups = {}
    fv_err = {}
    for i, (name, path) in enumerate(recs):
        lf0, cc = sptk_tracks(path, work)
        fv = fv_track(len(lf0), i)
        base = os.path.join(work, "t%d" % i)
        lf0.astype("<f4").tofile(base + ".lf0")
        cc.astype("<f4").tofile(base + ".cc")
        fv.astype("<f4").tofile(base + ".fv")
        for fs in (16000, 48000):
            shift = fs // 200
            for factor in (1.0, 2.0):
                out = "%s-%d-%g.wav" % (base, fs, factor)
                run([build + "/vallisynth", base + ".lf0", base + ".cc", base + ".fv", out,
                     "--FS=%d" % fs, "--LFRAME=%d" % shift, "--CCFORM=1", "--FPITCH=%g" % factor])
                truth = np.where(lf0 > -1e9, np.exp(lf0) * factor, 0.0)
                truth[truth > 1000.0] = 0.0
                truth[(truth > 0) & (fv <= truth)] = 0.0
                elf0, _, efv = analyse(build, out, out[:-4])
                key = "%g kHz, f0 x%g" % (fs / 1000, factor)
                groups.setdefault(key, {"ours": [], "swipe": []})
                groups[key]["ours"].append(pitch_errors(truth, elf0))
                groups[key]["swipe"].append(pitch_errors(truth, swipe(out, fs, shift, len(truth), work)))
                n = min(len(truth), len(elf0))
                both = (truth[:n] > 0) & (elf0[:n] > -1e9)
                fv_err.setdefault(key, []).append(efv[:n][both] - np.minimum(fv[:n][both], fs / 2))
    print_pitch_table("## Pitch on renderings with known f0 (range %g-%g Hz, lag 0)" % F0_RANGE, groups)
    # Known-f0 renderings of the HTS voice's streams by SPTK.
    hts = {}
    for name, factor, truth, path in hts_renderings(work, quick):
        for fs in (16000, 48000):
            src = "%s-%d.wav" % (path[:-4], fs)
            run(["sox", "-R", path, "-r", str(fs), src])
            elf0, _, _ = analyse(build, src, src[:-4])
            key = "HTS voice, %g kHz, f0 x%g" % (fs / 1000, factor)
            hts.setdefault(key, {"ours": [], "swipe": []})
            n = min(len(truth), len(elf0))
            hts[key]["ours"].append(pitch_errors(truth[:n], elf0[:n]))
            hts[key]["swipe"].append(pitch_errors(truth[:n], swipe(src, fs, fs // 200, n, work)))
    if hts:
        print_pitch_table("\n## Pitch on SPTK renderings of an HTS voice's streams (range %g-%g Hz, lag 0)"
                          % F0_RANGE, hts)
    print("\n## fv on renderings with a known fv track (2-7 kHz), analyser's own f0\n")
    print("| group | median error Hz | within 500 Hz % | median signed error Hz |")
    print("|---|---|---|---|")
    for key, errs in fv_err.items():
        e = np.concatenate(errs)
        print("| %s | %.0f | %.1f | %+.0f |" % (key, np.median(np.abs(e)), 100.0 * np.mean(np.abs(e) <= 500),
                                         np.median(e)))
    # Natural recordings: level, MCD and f0 of the resynthesis.
    print("\n## Round trip of recordings through the decoder\n")
    print("| rate | level error dB (mean, worst) | MCD dB | resynthesis median f0 error % |")
    print("|---|---|---|---|")
    for fs in (8000, 16000, 22050, 48000):
        levels, mcds, f0errs = [], [], []
        for name, path in recs:
            src = os.path.join(work, "n%d.wav" % fs)
            run(["sox", "-R", path, "-r", str(fs), src])
            for factor in (1.0, 2.0):
                prefix = os.path.join(work, "n%d" % fs)
                lf0, _, _ = analyse(build, src, prefix)
                out = prefix + "-out.wav"
                run([build + "/vallisynth", prefix + ".lf0", prefix + ".cc", prefix + ".fv", out,
                     "--FS=%d" % fs, "--LFRAME=%d" % int(math.floor(fs * 0.005 + 0.5))]
                    + (["--FPITCH=2"] if factor == 2 else []))
                if factor == 2:
                    # A recording at twice the pitch: the rendering analysed again.
                    src2 = os.path.join(work, "n%d-x2.wav" % fs)
                    os.replace(out, src2)
                    analyse(build, src2, prefix)
                    run([build + "/vallisynth", prefix + ".lf0", prefix + ".cc", prefix + ".fv",
                         out, "--FS=%d" % fs, "--LFRAME=%d" % int(math.floor(fs * 0.005 + 0.5))])
                    levels.append(level_db(wav(src2)[1], wav(out)[1]))
                    continue
                levels.append(level_db(wav(src)[1], wav(out)[1]))
                if fs == 16000:
                    _, a = wav(src)
                    _, b = wav(out)
                    ra, rb = os.path.join(work, "ra.f"), os.path.join(work, "rb.f")
                    (a * 32768).astype("<f4").tofile(ra)
                    (b * 32768).astype("<f4").tofile(rb)
                    ca, cb = mcep(ra, fs, 80), mcep(rb, fs, 80)
                    n = min(len(ca), len(cb))
                    energy = ca[:n, 0] > np.max(ca[:n, 0]) - 10  # speech frames, not silence
                    d = ca[:n, 1:] - cb[:n, 1:]
                    mcds.append(np.mean(10 / math.log(10) * np.sqrt(2 * np.sum(d ** 2, axis=1))[energy]))
                    rlf0, _, _ = analyse(build, out, prefix + "-re")
                    m = min(len(lf0), len(rlf0))
                    both = (lf0[:m] > -1e9) & (rlf0[:m] > -1e9)
                    f0errs.append(np.abs(np.exp(rlf0[:m][both] - lf0[:m][both]) - 1))
        med = "%.3f" % (100 * np.median(np.concatenate(f0errs))) if f0errs else "-"
        mcd = "%.2f" % np.mean(mcds) if mcds else "-"
        print("| %g kHz | %+.2f, %+.2f | %s | %s |" % (fs / 1000, np.mean(levels),
              max(levels, key=abs), mcd, med))


if __name__ == "__main__":
    main()
