#!/usr/bin/env bash
# Measures the window by hand (not part of scripts/test): CPU of the whole
# qdrwin process under Xvfb polling the simulator over UDP, RUNS times each
# (median printed), in two phases: during the initial bulk download of a
# large archive (a generation-3 regulator, one record per request, ten
# requests a second) and in steady polling once nothing is left to fetch.
# Also the time from start to the first painted window, and the resident
# memory sampled every minute for MINUTES minutes (0 skips that).
# BUILD: a build folder with qdrwin and qdrsim.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build/bench}
MINUTES=${MINUTES:-10}
RUNS=${RUNS:-3}
SECONDS_MEASURED=${SECONDS_MEASURED:-60}
[ -x "$BUILD/src/app/widgets/qdrwin" ] || { echo "build qdrwin and qdrsim in $BUILD first"; exit 1; }
BUILD=$(cd "$BUILD" && pwd)
QDR=$BUILD/src/app/widgets/qdrwin
SIM=$BUILD/sim/qdrsim
HZ=$(getconf CLK_TCK)
SITE=
SIMPID=
WINPID=
Xvfb :97 -screen 0 1024x768x24 >/dev/null 2>&1 &
XPID=$!
stop_run() {
  [ -n "$WINPID" ] && kill "$WINPID" 2>/dev/null && wait "$WINPID" 2>/dev/null || true
  [ -n "$SIMPID" ] && kill "$SIMPID" 2>/dev/null && wait "$SIMPID" 2>/dev/null || true
  [ -n "$SITE" ] && rm -rf "$SITE"
  WINPID= SIMPID= SITE=
}
trap 'stop_run; kill $XPID 2>/dev/null || true' EXIT
sleep 1

# Starts the simulator with the given options and the window beside it.
start_run() {
  SITE=$(mktemp -d)
  "$SIM" --udp 127.0.0.1:0 --seed 7 --speed 0 "$@" >"$SITE/sim.out" 2>/dev/null </dev/null &
  SIMPID=$!
  for _ in $(seq 100); do grep -q '^READY' "$SITE/sim.out" && break; sleep 0.05; done
  printf '[KOMUNIKACIA]\nIP=%s\n' "$(sed -n 's/^UDP //p' "$SITE/sim.out")" >"$SITE/qdrwin.ini"
  START=$(date +%s%3N)
  (cd "$SITE" && DISPLAY=:97 QDRWIN_REPORT_PAINT=1 exec "$QDR" >"$SITE/win.out" 2>/dev/null) &
  WINPID=$!
  for _ in $(seq 200); do grep -q '^PAINTED' "$SITE/win.out" && break; sleep 0.02; done
}
ticks() { awk '{print $14 + $15}' "/proc/$WINPID/stat"; }
# CPU of the window over SECONDS_MEASURED s, in % of one core.
cpu() {
  local a b
  a=$(ticks); sleep "$SECONDS_MEASURED"; b=$(ticks)
  awk -v a="$a" -v b="$b" -v hz="$HZ" -v s="$SECONDS_MEASURED" 'BEGIN { printf "%.2f", (b - a) / hz / s * 100 }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

bulk=() steady=()
for run in $(seq "$RUNS"); do
  # November 20th: about 6700 records of two months to fetch, which takes
  # far longer than the measurement.
  start_run --generation 3 --now 2026-11-20T12:00
  [ "$run" = 1 ] && echo "start to first paint: $(( $(sed -n 's/^PAINTED //p' "$SITE/win.out") - START )) ms"
  sleep 5
  bulk+=("$(cpu)")
  echo "run $run: CPU during the bulk download over $SECONDS_MEASURED s: ${bulk[-1]} % of one core"
  stop_run
  # The first minutes of a month, the month before lost: a few records, then
  # only the live polls.
  start_run --generation 3 --now 2026-11-01T01:00 --lost 2976
  sleep 10
  steady+=("$(cpu)")
  echo "run $run: CPU in steady polling over $SECONDS_MEASURED s: ${steady[-1]} % of one core"
  [ "$run" = "$RUNS" ] || stop_run
done
echo "median CPU during the bulk download: $(printf '%s\n' "${bulk[@]}" | median) % of one core"
echo "median CPU in steady polling: $(printf '%s\n' "${steady[@]}" | median) % of one core"
for m in $(seq "$MINUTES"); do
  echo "minute $m: RSS $(awk '/VmRSS/ {print $2, $3}' "/proc/$WINPID/status")"
  [ "$m" -lt "$MINUTES" ] && sleep 60
done
