#!/usr/bin/env bash
# The fast download (qdrtool fetch --fast, KOMUNIKACIA Rychlo=1) against
# qdrsim, generation 3 (one record per command-9 exchange). Medians of
# --runs runs.
#
#   serial  a pseudo-terminal paced at 1200 baud with the bus echo (qdrsim
#           --serial --echo, its default 30 ms turnaround), PauseW 10 ms and
#           PauseD 60 ms: archive records per second over the download phase
#           (first to last archive request) against the line's bound, one
#           exchange per (request + reply bytes) / 120 B/s + PauseW + PauseD;
#           fast and on the schedule.
#   udp     a whole month and 100 records of the month before, over UDP
#           loopback: wall time of the whole run (start-up and the final save
#           included) and the CPU of the qdrtool process (user + system over
#           wall); fast, at the simulator's default 30 ms turnaround, at
#           10 ms and without one (FAST_TURNAROUNDS="30 10 0" sets which),
#           and the client's share of an exchange (median time from one
#           archive request to the next, less the simulator's reply delay).
#
# Each figure is taken for every loss rate of --loss: the share of replies
# the simulator drops (run i draws them from seed i), with the lost replies
# counted from the fetch's report. A lost reply costs a fast exchange the
# wait the client has learnt, not the whole Timeout.
#
# usage: bench/fast-download.sh [--runs N] [--only serial|udp] [--loss "P ..."] [--build DIR]
#   --runs   runs per figure (default 3)
#   --only   one of the two parts
#   --loss   loss rates, 0..1 (default "0"; e.g. "0 0.02")
#   --build  build folder with sim/qdrsim and tools/qdrtool (default build/bench)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build/bench}
RUNS=3
ONLY=""
LOSSES="0"
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=${2:?--runs needs a number}; shift 2 ;;
    --only) ONLY=${2:?--only needs serial or udp}; shift 2 ;;
    --loss) LOSSES=${2:?--loss needs rates}; shift 2 ;;
    --build) BUILD=${2:?--build needs a folder}; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
# shellcheck source=bench/programs.sh
. "$ROOT/bench/programs.sh"

WORK=$(mktemp -d)
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  exec 3>&- 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# run NAME TRANSPORT FETCH-ARGS -- SIM-ARGS: one fetch into a fresh folder;
# leaves $run/sim.log (wall-clock stamped), $run/fetch.out, $run/time.
run_one() {
  local name=$1 transport=$2 fetchargs=$3
  shift 4
  run=$WORK/$name
  rm -rf "$run"
  mkdir -p "$run/site"
  mkfifo "$run/ctl"
  exec 3<>"$run/ctl"
  "$SIM" "$@" --generation 3 --speed 0 --log <&3 >"$run/sim.out" \
    2> >(while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$run/sim.log") &
  SIM_PID=$!
  for _ in $(seq 100); do grep -q READY "$run/sim.out" 2>/dev/null && break; sleep 0.05; done
  if [ "$transport" = udp ]; then
    printf '[KOMUNIKACIA]\nIP=%s\n' "$(sed -n 's/^UDP //p' "$run/sim.out")" >"$run/site/qdrwin.ini"
  else
    printf '[KOMUNIKACIA]\nDevice=%s\nPauseW=10\nPauseD=60\n' "$(sed -n 's/^SERIAL //p' "$run/sim.out")" >"$run/site/qdrwin.ini"
  fi
  local rc=0
  # shellcheck disable=SC2086
  (cd "$run/site" && /usr/bin/time -f '%e %U %S' -o "$run/time" "$TOOL" fetch --timeout 60 $fetchargs \
     >"$run/fetch.out" 2>"$run/fetch.err") || rc=$?
  kill "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
  SIM_PID=""
  exec 3>&-
  if [ "$rc" -ne 0 ]; then
    echo "$name: qdrtool fetch exited $rc" >&2
    tail -3 "$run/fetch.out" "$run/fetch.err" >&2
    return 1
  fi
}

status=0
if [ -z "$ONLY" ] || [ "$ONLY" = serial ]; then
  # 30 records of December and 24 of January.
  ARCHIVE=(--now 2026-01-01T06:00 --lost 2946)
  # Bytes on the line per exchange: the request (count, address, command,
  # month, index, checksum) and the reply (count, address, 32 data bytes,
  # checksum); the echo of the request shares its time on the wire.
  bytes=$((8 + 35))
  bound=$(awk -v b="$bytes" 'BEGIN { printf "%.3f", 1 / (b / 120 + 0.010 + 0.060) }')
  for loss in $LOSSES; do
    for mode in fast schedule; do
      : >"$WORK/rates"
      : >"$WORK/lost"
      for i in $(seq "$RUNS"); do
        args=$([ "$mode" = fast ] && echo --fast || echo "")
        run_one "serial-$mode-$i" serial "$args" -- --serial --echo --loss "$loss" --seed "$i" "${ARCHIVE[@]}" ||
          { status=1; continue; }
        awk '$3 == "RX" && $6 == "09" { print $1 }' "$run/sim.log" >"$run/requests"
        awk 'NR == 1 { f = $1 } { l = $1; n++ } END { if (n > 1) print (n - 1) / (l - f) }' "$run/requests" >>"$WORK/rates"
        grep -c ' TX lost' "$run/sim.log" >>"$WORK/lost" || true
      done
      rate=$(median <"$WORK/rates")
      awk -v m="$mode" -v r="$rate" -v b="$bound" -v n="$RUNS" -v p="$loss" -v l="$(median <"$WORK/lost")" 'BEGIN {
        printf "serial 1200 Bd, echo, loss %4.2f, %-8s %6.3f records/s  bound %.3f  ratio %.2f  lost %d  (median of %d)\n", p, m, r, b, r / b, l, n }'
    done
  done
fi

if [ -z "$ONLY" ] || [ "$ONLY" = udp ]; then
  # All of January but its last interval (2975 records) and the last 100 of December.
  ARCHIVE=(--now 2026-01-31T23:59 --lost 2876)
  for loss in $LOSSES; do
    for turnaround in ${FAST_TURNAROUNDS:-30 10 0}; do
      : >"$WORK/walls"
      : >"$WORK/cpus"
      : >"$WORK/shares"
      : >"$WORK/lost"
      records=0
      for i in $(seq "$RUNS"); do
        run_one "udp-$turnaround-$i" udp --fast -- --udp 127.0.0.1:0 --turnaround "$turnaround" --loss "$loss" --seed "$i" \
          "${ARCHIVE[@]}" || { status=1; continue; }
        read -r wall user sys <"$run/time"
        echo "$wall" >>"$WORK/walls"
        awk -v w="$wall" -v u="$user" -v s="$sys" 'BEGIN { print 100 * (u + s) / w }' >>"$WORK/cpus"
        # What the client adds to an exchange: from one archive request to the
        # next, less the simulator's reply delay (the median leaves out the gaps
        # a live request or a lost reply sits in).
        awk -v t="$turnaround" '$3 == "RX" && $6 == "09" { if (p != "") print ($1 - p) * 1000 - t; p = $1 }' \
          "$run/sim.log" | median >>"$WORK/shares"
        grep -c ' TX lost' "$run/sim.log" >>"$WORK/lost" || true
        records=$(sed -n 's/.*, \([0-9]*\) fetched in.*/\1/p' "$run/fetch.out")
      done
      awk -v t="$turnaround" -v w="$(median <"$WORK/walls")" -v c="$(median <"$WORK/cpus")" -v r="$records" \
          -v a="$(median <"$WORK/shares")" -v n="$RUNS" -v p="$loss" -v l="$(median <"$WORK/lost")" 'BEGIN {
        printf "UDP, turnaround %2d ms, loss %4.2f, fast: %d records in %6.1f s  (%5.1f records/s), client %.2f ms an exchange, lost %d, qdrtool CPU %4.1f %%  (median of %d)\n", t, p, r, w, r / w, a, l, c, n }'
    done
  done
fi
exit $status
