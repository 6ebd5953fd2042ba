#!/usr/bin/env bash
# Archive download rate: runs `qdrtool fetch` against qdrsim over UDP loopback
# and compares it with the most the request schedule allows. The cycle is
# 100 ms; on the archive page the live requests yield the line to the
# download, so the bound is one archive request a cycle: (Limit - 1) / 6 = 13
# records a request for generation 1 (command 3 at the default Limit 80), one
# for generation 3 (command 9).
#
# Two figures per generation:
#   whole run       records over the wall time of `qdrtool fetch`, start-up
#                   (identification, information, first month table) and the
#                   final save included, against the requests the records
#                   need at one a cycle;
#   download phase  from the first archive request to the last, counted in
#                   cycles, against the requests the records need.
#
# usage: bench/download.sh [--generation 1|3|1,3] [--quick] [--build DIR]
#   --generation  which regulator generations (default 1,3)
#   --quick       a small archive (120 + 100 records) instead of two full months
#                 (2975 + 2976 records; generation 3 then takes about 10 minutes)
#   --build DIR   build folder with sim/qdrsim and tools/qdrtool (default build/bench)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build/bench}
GENERATIONS="1,3"
QUICK=0
while [ $# -gt 0 ]; do
  case "$1" in
    --generation) GENERATIONS=${2:?--generation needs 1, 3 or 1,3}; shift 2 ;;
    --quick) QUICK=1; shift ;;
    --build) BUILD=${2:?--build needs a folder}; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
# shellcheck source=bench/programs.sh
. "$ROOT/bench/programs.sh"

CYCLE=0.1   # seconds
LIMIT=80    # the default Limit, which qdrwin.ini below leaves as it is
BATCH=$(( (LIMIT - 1) / 6 ))

if [ "$QUICK" = 1 ]; then
  # Thirty hours of January and the last hundred records of December.
  SIM_ARCHIVE=(--now 2026-01-02T06:00 --lost 2876)
else
  # The end of January: all of January but its last interval, and December.
  SIM_ARCHIVE=(--now 2026-01-31T23:59)
fi

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

# u16 little-endian at a byte offset of a file.
word() { od -An -tu2 -j"$2" -N2 --endian=little "$1" | tr -d ' '; }

status=0
for G in ${GENERATIONS//,/ }; do
  case "$G" in 1|3) ;; *) echo "generation must be 1 or 3, not $G" >&2; exit 2 ;; esac
  run=$WORK/gen$G
  mkdir -p "$run/site"
  mkfifo "$run/ctl"
  exec 3<>"$run/ctl"
  # Every line the simulator logs gets the wall-clock time it was written at;
  # its own stamps are the simulated clock, which stands still here.
  "$SIM" --udp 127.0.0.1:0 --generation "$G" --speed 0 "${SIM_ARCHIVE[@]}" --log <&3 >"$run/sim.out" \
    2> >(while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$run/sim.log") &
  SIM_PID=$!
  for _ in $(seq 100); do grep -q READY "$run/sim.out" 2>/dev/null && break; sleep 0.05; done
  endpoint=$(sed -n 's/^UDP //p' "$run/sim.out")
  [ -n "$endpoint" ] || { echo "qdrsim did not start" >&2; exit 1; }

  echo status >&3
  for _ in $(seq 100); do grep -q '^OK status ' "$run/sim.out" && break; sleep 0.05; done
  # OK status clock C table Month0 Month1 Count0 Count1 Lost preg VT NT
  read -r _ _ _ _ _ _ _ count0 count1 _ < <(grep '^OK status ' "$run/sim.out")
  expected=$((count0 + count1))

  printf '[KOMUNIKACIA]\nIP=%s\n' "$endpoint" >"$run/site/qdrwin.ini"
  start=$EPOCHREALTIME
  rc=0
  (cd "$run/site" && "$TOOL" fetch --timeout 30 >"$run/fetch.out" 2>"$run/fetch.err") || rc=$?
  end=$EPOCHREALTIME
  kill "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
  SIM_PID=""
  exec 3>&-

  if [ "$rc" -ne 0 ]; then
    echo "generation $G: qdrtool fetch exited $rc" >&2
    tail -5 "$run/fetch.out" "$run/fetch.err" >&2
    status=1
    continue
  fi

  # Records filed, and the requests they need at BATCH (generation 1) or one
  # (generation 3) a request, month by month.
  records=0
  needed=0
  for f in "$run/site"/*.qdr; do
    [ -e "$f" ] || continue
    size=$(stat -c %s "$f")
    recsize=$(word "$f" 2)
    n=$(( (size - 12) / recsize ))
    records=$((records + n))
    if [ "$G" = 1 ]; then needed=$((needed + (n + BATCH - 1) / BATCH)); else needed=$((needed + n)); fi
  done
  if [ "$records" -ne "$expected" ]; then
    echo "generation $G: $records records filed, the regulator holds $expected" >&2
    status=1
  fi

  # Archive requests as the simulator saw them: RX <count> <address> <command> ...
  cmd=$([ "$G" = 1 ] && echo 03 || echo 09)
  awk -v c="$cmd" '$3 == "RX" && $6 == c { print $1 }' "$run/sim.log" >"$run/requests"
  sent=$(wc -l <"$run/requests")
  first=$(head -1 "$run/requests")
  last=$(tail -1 "$run/requests")

  awk -v g="$G" -v rec="$records" -v need="$needed" -v sent="$sent" -v t0="$start" -v t1="$end" \
      -v f="$first" -v l="$last" -v cyc="$CYCLE" -v batch="$BATCH" -v tail="$(tail -1 "$run/fetch.out")" '
    BEGIN {
      per = (g == 1) ? batch : 1
      wall = t1 - t0
      bound = need * cyc
      cycles = (l - f) / cyc + 1
      printf "generation %d: %d records (%d a request), %d archive requests needed, %d sent\n", g, rec, per, need, sent
      printf "  whole run       %8.2f s  %7.1f records/s  bound %7.2f s  %5.1f %% of the bound\n", wall, rec / wall, bound, 100 * bound / wall
      printf "  download phase  %8.2f s  %7.1f records/s  %7.1f cycles   %5.1f %% of the bound\n", l - f + cyc, rec / (l - f + cyc), cycles, 100 * need / cycles
      printf "  qdrtool: %s\n", tail
    }'
done
exit $status
