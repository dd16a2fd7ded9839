#!/bin/bash
# End-to-end timing of the decoder (start, read, decode, write) on two
# 60-second inputs built from the example streams, plus the stage benchmarks.
#
#   bench/run_bench.sh [build-dir]      (default build/bench-release)
#
# Environment: RUNS (timed runs per case, default 7), STAGES=0 skips the
# Google Benchmark stage timings, RESULTS=file also writes each case's
# figures there, one tab-separated line each under a header naming the date
# and the machine (docs/make_figures.py draws its speed chart from it), VALLISYNTH_BIN times another build of the
# program (an older one, say) on the same inputs, and VALLISYNTH_BASE times
# another build side by side with this one: each timed run of this build is
# followed by one of the other, so that both see the same moments of a busy
# machine, and the ratio of the medians is printed.
#
# Inputs, generated into the build directory (never into the source tree):
# - speech: utt01..03 (order 24, alpha 0.42) repeated to 12000 frames, 60 s
#   at the default 5 ms shift, no fv stream (fv follows c0);
# - batch: 100 utterances of 3 s cut from the speech, one run;
# - worst: the costliest legal input, every frame voiced at 10 Hz with fv
#   8000 Hz (799 harmonics a frame) at --FDUR=4, 3000 frames, again 60 s.
# Each case gets one warm-up run, then RUNS timed runs; the script prints the
# median, minimum and maximum wall-clock time, the real-time factor of the
# median and the peak resident memory from /usr/bin/time.
#
# When festival, its HTS voice and hts_engine are installed (Debian packages
# festival, festvox-us-slt-hts, htsengine), a second minute is real TTS
# output: festival turns a paragraph into full-context labels and hts_engine
# generates the voice's streams from them (13106 frames of 5 ms at 32 kHz,
# order 44, alpha 0.45, SPTK's cepstral form), decoded at their own rate.
#
# When SPTK is installed (Debian package sptk) the same speech streams are
# also rendered by SPTK's pulse/noise excitation and MLSA filter,
#   excite -p 80 | mlsadf -m 24 -a 0.42 -p 80,
# and the ratio of the two medians is printed.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/bench-release}
RUNS=${RUNS:-7}
STAGES=${STAGES:-1}
RESULTS=${RESULTS:-}

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release \
    -DVALLISYNTH_BUILD_TESTS=OFF -DVALLISYNTH_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2 >/dev/null
BIN=${VALLISYNTH_BIN:-$BUILD/vallisynth}
DATA=$BUILD/benchdata
mkdir -p "$DATA"

python3 "$ROOT/bench/make_inputs.py" "$ROOT" "$DATA"

# Runs "$@" (with the program in $B) once to warm up, then RUNS times;
# prints median, min, max in milliseconds and the real-time factor for
# $AUDIO seconds of output. With BASE set, each run is followed by one with
# $B=$BASE, reported on a second line.
AUDIO=60
BASE=${VALLISYNTH_BASE:-}
report() {
    local label=$1
    shift
    local sorted med min max
    sorted=$(printf '%s\n' "$@" | sort -g)
    med=$(echo "$sorted" | sed -n "$((RUNS / 2 + 1))p")
    min=$(echo "$sorted" | head -n 1)
    max=$(echo "$sorted" | tail -n 1)
    LAST_MEDIAN=$med
    if [ -n "$RESULTS" ]; then
        printf '%s\t%s\t%s\t%s\t%s\n' "${label// /}" "$med" "$min" "$max" "$AUDIO" >>"$RESULTS"
    fi
    printf '%-10s median %9.1f ms  min %9.1f  max %9.1f  RTF %.5f\n' \
        "$label" "$med" "$min" "$max" "$(echo "$med / 1000 / $AUDIO" | bc -l)"
}
timecase() {
    local label=$1
    shift
    B=$BIN
    "$@"
    if [ -n "$BASE" ]; then B=$BASE; "$@"; fi
    local times=() base=()
    for ((r = 0; r < RUNS; r++)); do
        B=$BIN
        local t0=$EPOCHREALTIME
        "$@"
        local t1=$EPOCHREALTIME
        times+=("$(echo "($t1 - $t0) * 1000" | bc -l)")
        if [ -n "$BASE" ]; then
            B=$BASE
            t0=$EPOCHREALTIME
            "$@"
            t1=$EPOCHREALTIME
            base+=("$(echo "($t1 - $t0) * 1000" | bc -l)")
        fi
    done
    B=$BIN
    local basemedian=
    if [ -n "$BASE" ]; then
        report "  base" "${base[@]}"
        basemedian=$LAST_MEDIAN
    fi
    report "$label" "${times[@]}"
    if [ -n "$BASE" ]; then
        printf '%-10s %.2f times as fast as the base\n' "" \
            "$(echo "$basemedian / $LAST_MEDIAN" | bc -l)"
    fi
}

peakmem() {
    /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1
}

B=$BIN
SPEECH=("$DATA/speech.lf0" "$DATA/speech.cc" "$DATA/speech.wav")
WORST=("$DATA/worst.lf0" "$DATA/worst.cc" "$DATA/worst.fv" "$DATA/worst.wav" --FDUR=4)
BATCH=("$DATA/batch/u???.lf0" "$DATA/batch/u???.cc" "$DATA/batch/o???.wav" --INDLIST=0-99)
speech() { "$B" "${SPEECH[@]}" >/dev/null; }
speech1() { "$B" "${SPEECH[@]}" --THREADS=1 >/dev/null; }
worst() { "$B" "${WORST[@]}" >/dev/null; }
worst1() { "$B" "${WORST[@]}" --THREADS=1 >/dev/null; }
batch() { "$B" "${BATCH[@]}" >/dev/null; }

if [ -n "$RESULTS" ]; then
    {
        echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1), load $(cut -d' ' -f1 /proc/loadavg), $RUNS runs"
        printf 'case\tmedian_ms\tmin_ms\tmax_ms\taudio_s\n'
    } >"$RESULTS"
fi
# Without --THREADS the program uses every core it may run on.
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)  runs: $RUNS  cores: $(nproc)"
timecase speech speech
SPEECH_MEDIAN=$LAST_MEDIAN
echo "           peak memory $(peakmem "$BIN" "${SPEECH[@]}") KiB"
timecase speech-1t speech1
timecase worst worst
echo "           peak memory $(peakmem "$BIN" "${WORST[@]}") KiB"
timecase worst-1t worst1
AUDIO=300 timecase batch batch
printf 'batch of 100 x 3 s: %.3f ms per second of speech, the minute %.3f\n' \
    "$(echo "$LAST_MEDIAN / 300" | bc -l)" "$(echo "$SPEECH_MEDIAN / 60" | bc -l)"

HTS_VOICE=/usr/share/festival/voices/us/cmu_us_slt_arctic_hts/hts/cmu_us_slt_arctic_hts.htsvoice
if command -v festival >/dev/null && command -v hts_engine >/dev/null && [ -f "$HTS_VOICE" ]; then
    if [ ! -f "$DATA/hts.mcep" ]; then
        cat >"$DATA/hts.scm" <<'EOF'
(voice_cmu_us_slt_arctic_hts)
(set! utt (Utterance Text "The decoder turns streams of parameters into speech. Every frame holds the pitch and the shape of the vocal tract, written by a statistical model that has learned them from recordings of one speaker. From these numbers the program rebuilds the sound: a sum of harmonics up to the highest frequency that is still voiced, and above it a noise whose spectrum follows the same envelope. Frames are added together with a small overlap, five milliseconds apart, so that the result flows without clicks or gaps. Users run it over thousands of sentences at a time, so it must be fast, and it must give the same bytes every time it runs. It can also change the pitch, the speed of speaking and the length of the vocal tract, which makes one voice sound like another. This paragraph is long enough to give about one minute of speech when it is read at a calm pace by the synthetic voice of the speech synthesis system. We repeat a few more sentences to make sure that the length is right. The quick brown fox jumps over the lazy dog, while the weather stays fine all through the long afternoon in the garden behind the old house near the river."))
(utt.synth utt)
(hts_dump_feats utt hts_feats_list "hts.lab")
EOF
        (cd "$DATA" && festival -b hts.scm >/dev/null 2>&1 &&
            hts_engine -m "$HTS_VOICE" -om hts.mcep -of hts.lf0 hts.lab)
    fi
    HTS=("$DATA/hts.lf0" "$DATA/hts.mcep" "$DATA/hts.wav" --FS=32000 --LFRAME=160 --ALPHA=0.45
        --CCFORM=1)
    hts() { "$B" "${HTS[@]}" >/dev/null; }
    hts1() { "$B" "${HTS[@]}" --THREADS=1 >/dev/null; }
    HTS_AUDIO=$(echo "$(stat -c %s "$DATA/hts.lf0") / 4 * 0.005" | bc -l)
    AUDIO=$HTS_AUDIO timecase hts hts
    AUDIO=$HTS_AUDIO timecase hts-1t hts1
else
    echo "hts: festival, festvox-us-slt-hts or htsengine not installed, no TTS minute"
fi

SPTK_BIN=/usr/libexec/sptk/bin
if [ -x "$SPTK_BIN/excite" ] && [ -x "$SPTK_BIN/mlsadf" ]; then
    sptk() {
        "$SPTK_BIN/excite" -p 80 "$DATA/speech.pitch" |
            "$SPTK_BIN/mlsadf" -m 24 -a 0.42 -p 80 "$DATA/speech.mcep" >"$DATA/sptk.raw"
    }
    BASE= timecase sptk sptk
    printf 'SPTK excite+mlsadf takes %.1f times as long as vallisynth\n' \
        "$(echo "$LAST_MEDIAN / $SPEECH_MEDIAN" | bc -l)"
else
    echo "sptk: not installed (apt-get install sptk), no comparison"
fi

if [ "$STAGES" != 0 ]; then
    "$BUILD/bench/vallisynth_bench" --benchmark_min_time=0.5
fi
