#!/bin/bash
# Instructions and wall time of the decoder for a minute of speech, the
# figures to compare changes by: instruction counts stay the same from run
# to run on a busy machine, wall times do not.
#
#   bench/instructions.sh PROGRAM DATA-DIR
#
# (the build target `bench` runs it on the build's program, with the inputs
# of bench/make_inputs.py). Each case is a minute of output: the speech
# streams and the costliest input (10 Hz, fv 8000 Hz, --FDUR=4). Printed per
# case: the instructions of one run on one thread (user space, from perf
# stat where the processor's counters can be read, else from valgrind's
# callgrind, which counts the same instructions more slowly), and the median
# wall time of RUNS runs (default 5) on one thread and on every core.
# VALLISYNTH_BASE=OTHER-PROGRAM measures another build the same way, each of
# its timed runs right after one of PROGRAM's, and prints the ratios.
set -euo pipefail

BIN=$1
DATA=$2
RUNS=${RUNS:-5}
BASE=${VALLISYNTH_BASE:-}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

SPEECH=("$DATA/speech.lf0" "$DATA/speech.cc" "$OUT/speech.wav")
WORST=("$DATA/worst.lf0" "$DATA/worst.cc" "$DATA/worst.fv" "$OUT/worst.wav" --FDUR=4)

# Instructions of one run of "$@", user space.
counter=callgrind
if command -v perf >/dev/null &&
    perf stat -x, -e instructions:u true 2>&1 >/dev/null | grep -q '^[0-9]'; then
    counter=perf
fi
instructions() {
    if [ "$counter" = perf ]; then
        perf stat -x, -e instructions:u "$@" 2>&1 >/dev/null | grep ',instructions' | cut -d, -f1
    else
        valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
            sed -n 's/.*Collected : *\([0-9]*\).*/\1/p'
    fi
}

# Median wall time in milliseconds of RUNS runs of "$@".
declare -a TIMES
timeone() {
    local t0=$EPOCHREALTIME
    "$@" >/dev/null
    local t1=$EPOCHREALTIME
    echo "($t1 - $t0) * 1000" | bc -l
}
median() {
    printf '%s\n' "$@" | sort -g | sed -n "$(($# / 2 + 1))p"
}

# case LABEL ARGS...: the figures of PROGRAM (and of the base) for ARGS.
measure() {
    local label=$1
    shift
    local count base_count=
    count=$(instructions "$BIN" "$@" --THREADS=1)
    [ -n "$BASE" ] && base_count=$(instructions "$BASE" "$@" --THREADS=1)
    local one=() all=() bone=() ball=()
    "$BIN" "$@" >/dev/null # warm-up
    for ((r = 0; r < RUNS; r++)); do
        one+=("$(timeone "$BIN" "$@" --THREADS=1)")
        [ -n "$BASE" ] && bone+=("$(timeone "$BASE" "$@" --THREADS=1)")
        all+=("$(timeone "$BIN" "$@")")
        [ -n "$BASE" ] && ball+=("$(timeone "$BASE" "$@")")
    done
    printf '%-8s %6.1f M instructions a minute   1 thread %7.1f ms   all cores %7.1f ms\n' \
        "$label" "$(echo "$count / 1000000" | bc -l)" "$(median "${one[@]}")" "$(median "${all[@]}")"
    if [ -n "$BASE" ]; then
        printf '%-8s %6.1f M instructions a minute   1 thread %7.1f ms   all cores %7.1f ms\n' \
            "  base" "$(echo "$base_count / 1000000" | bc -l)" "$(median "${bone[@]}")" \
            "$(median "${ball[@]}")"
        printf '%-8s %6.3f of the base'"'"'s instructions, %5.2f and %5.2f times as fast\n' "" \
            "$(echo "$count / $base_count" | bc -l)" \
            "$(echo "$(median "${bone[@]}") / $(median "${one[@]}")" | bc -l)" \
            "$(echo "$(median "${ball[@]}") / $(median "${all[@]}")" | bc -l)"
    fi
}

echo "instructions from $counter; wall time: median of $RUNS runs, load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
measure speech "${SPEECH[@]}"
measure worst "${WORST[@]}"
