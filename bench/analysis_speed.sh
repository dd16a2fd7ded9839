#!/bin/bash
# Speed of vallisynth-analyse beside SPTK's SWIPE' (pitch -a 1) on the same
# one-minute recording at 16 and 48 kHz: CPU seconds (user + system, best of
# RUNS), the real-time factor, and instruction counts (valgrind's callgrind,
# on the first ten seconds) when valgrind is installed.
#
#   bench/analysis_speed.sh [BUILD_DIR]    # default build/release
#   OLD_ANALYSE=path bench/analysis_speed.sh   # also time another analyser
#                                              # (called as: path input prefix)
set -euo pipefail
build=$(realpath "${1:-build/release}")
runs=${RUNS:-5}
sptk=/usr/libexec/sptk/bin
data=/usr/share/pocketsphinx/test/data
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One minute of read speech: the pocketsphinx recordings, repeated.
sox "$data"/librivox/*.wav "$data"/cards/*.wav -r 16000 -c 1 -b 16 "$work/all.wav"
sox "$work/all.wav" "$work/min16.wav" repeat 3 trim 0 60
sox -V1 "$work/min16.wav" -r 48000 "$work/min48.wav"

# Best CPU time (user + system) of a command over $runs runs.
cputime() {
  local best=
  for _ in $(seq "$runs"); do
    local t
    /usr/bin/time -o "$work/time" -f "%U %S" "$@" >/dev/null 2>&1
    t=$(awk '{print $1 + $2}' "$work/time")
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
  done
  echo "$best"
}

printf "| rate | program | CPU s per minute | RTF | instructions per second of audio |\n|---|---|---|---|---|\n"
for rate in 16 48; do
  in=$work/min$rate.wav
  sox "$in" -t f32 "$work/x.f"
  sox "$in" "$work/ten.wav" trim 0 10
  sox "$work/ten.wav" -t f32 "$work/ten.f"
  # Instructions per second of audio: callgrind on ten seconds, standard
  # input from the file named first.
  instructions() {
    local stdin=$1
    shift
    if command -v valgrind >/dev/null; then
      valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" <"$stdin" 2>&1 >/dev/null |
        awk '/refs:/ {gsub(",", "", $NF); printf "%.1f M", $NF / 1e7}'
    else
      echo "-"
    fi
  }
  t=$(cputime "$build/vallisynth-analyse" "$in" "$work/a")
  i=$(instructions /dev/null "$build/vallisynth-analyse" "$work/ten.wav" "$work/a")
  printf "| %s kHz | vallisynth-analyse (f0, cepstra, fv) | %.2f | %.4f | %s |\n" $rate $t "$(awk "BEGIN{print $t/60}")" "$i"
  swipe=( "$sptk/pitch" -a 1 -s $rate -p $((rate * 5)) -L 50 -H 800 -o 2 )
  t=$(cputime bash -c '"$@" < "$0"' "$work/x.f" "${swipe[@]}")
  i=$(instructions "$work/ten.f" "${swipe[@]}")
  printf "| %s kHz | SPTK pitch -a 1 (SWIPE', f0 only) | %.2f | %.4f | %s |\n" $rate $t "$(awk "BEGIN{print $t/60}")" "$i"
  if [ -n "${OLD_ANALYSE:-}" ]; then
    t=$(cputime "$OLD_ANALYSE" "$in" "$work/o")
    printf "| %s kHz | %s | %.2f | %.4f | - |\n" $rate "$(basename "$OLD_ANALYSE")" $t "$(awk "BEGIN{print $t/60}")"
  fi
done
