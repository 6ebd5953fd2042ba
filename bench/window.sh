#!/usr/bin/env bash
# Measures the window by hand (not part of scripts/test): CPU of the whole
# qdrwin process polling the simulator over UDP for 60 s under Xvfb, the time
# from start to the first painted window, and the resident memory sampled
# every minute for 10 minutes. BUILD: a build folder with qdrwin and qdrsim.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build/bench}
MINUTES=${MINUTES:-10}
[ -x "$BUILD/src/app/widgets/qdrwin" ] || { echo "build qdrwin and qdrsim in $BUILD first"; exit 1; }
SITE=$(mktemp -d)
"$BUILD/sim/qdrsim" --udp 127.0.0.1:0 --seed 7 >"$SITE/sim.out" 2>/dev/null </dev/null &
SIMPID=$!
WINPID=
cleanup() {
  [ -n "$WINPID" ] && kill "$WINPID" 2>/dev/null || true
  kill "$SIMPID" 2>/dev/null || true
  rm -rf "$SITE"
}
trap cleanup EXIT
for _ in $(seq 100); do grep -q '^READY' "$SITE/sim.out" && break; sleep 0.05; done
printf '[KOMUNIKACIA]\nIP=%s\n' "$(sed -n 's/^UDP //p' "$SITE/sim.out")" >"$SITE/qdrwin.ini"
QDR=$(pwd)/$BUILD/src/app/widgets/qdrwin
cd "$SITE"
Xvfb :97 -screen 0 1024x768x24 >/dev/null 2>&1 &
XPID=$!
trap 'cleanup; kill $XPID 2>/dev/null || true' EXIT
sleep 1
START=$(date +%s%3N)
DISPLAY=:97 QDRWIN_REPORT_PAINT=1 "$QDR" >"$SITE/win.out" 2>/dev/null &
WINPID=$!
for _ in $(seq 200); do grep -q '^PAINTED' "$SITE/win.out" && break; sleep 0.02; done
echo "start to first paint: $(( $(sed -n 's/^PAINTED //p' "$SITE/win.out") - START )) ms"
ticks() { awk '{print $14 + $15}' "/proc/$WINPID/stat"; }
HZ=$(getconf CLK_TCK)
sleep 5
A=$(ticks); sleep 60; B=$(ticks)
awk -v a="$A" -v b="$B" -v hz="$HZ" 'BEGIN { printf "CPU over 60 s: %.2f %% of one core\n", (b - a) / hz / 60 * 100 }'
for m in $(seq "$MINUTES"); do
  echo "minute $m: RSS $(awk '/VmRSS/ {print $2, $3}' "/proc/$WINPID/status")"
  [ "$m" -lt "$MINUTES" ] && sleep 60
done
