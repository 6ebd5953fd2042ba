#!/usr/bin/env bash
# CPU of `qdrtool probe --count 30` as a whole process (every thread, start-up
# and shut-down included) against qdrsim over UDP loopback, and how often its
# threads woke: the context switches the kernel counted for it. The
# simulator is a separate process and does not count.
#
# Prints each run and the medians of CPU in % of one core, CPU ms, wall s
# and wake-ups per second. Goal: CPU at most 0.5 % of one core.
#
# usage: bench/probe-cpu.sh [--runs N] [--count N] [--build DIR]
#   --runs   probe runs (default 5)
#   --count  live replies each probe waits for (default 30)
#   --build  build folder with sim/qdrsim and tools/qdrtool (default build/bench)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build/bench}
RUNS=5
COUNT=30
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=${2:?--runs needs a number}; shift 2 ;;
    --count) COUNT=${2:?--count needs a number}; shift 2 ;;
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
  rm -rf "$WORK"
}
trap cleanup EXIT

# The regulator's clock runs, as a real one does; the live blocks change.
"$SIM" --udp 127.0.0.1:0 --generation 3 </dev/null >"$WORK/sim.out" 2>/dev/null &
SIM_PID=$!
for _ in $(seq 100); do grep -q READY "$WORK/sim.out" 2>/dev/null && break; sleep 0.05; done
endpoint=$(sed -n 's/^UDP //p' "$WORK/sim.out")
[ -n "$endpoint" ] || { echo "qdrsim did not start" >&2; exit 1; }
mkdir -p "$WORK/site"
printf '[KOMUNIKACIA]\nIP=%s\n' "$endpoint" >"$WORK/site/qdrwin.ini"

# wait4 gives the child's own rusage, all its threads together.
/usr/bin/python3 - "$TOOL" "$WORK/site" "$RUNS" "$COUNT" <<'EOF'
import os, statistics, subprocess, sys, time
tool, site, runs, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
rows = []
for run in range(runs):
    start = time.monotonic()
    p = subprocess.Popen([tool, "probe", "--count", count], cwd=site,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, ru = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    err = p.stderr.read().decode(errors="replace").strip()
    p.stderr.close()
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        sys.exit(f"qdrtool probe exited {p.returncode}: {err}")
    cpu = ru.ru_utime + ru.ru_stime
    wakes = (ru.ru_nvcsw + ru.ru_nivcsw) / wall
    rows.append((100 * cpu / wall, 1000 * cpu, wall, wakes))
    print(f"  run {run + 1}: cpu {100 * cpu / wall:5.2f} %  {1000 * cpu:7.1f} ms  wall {wall:6.2f} s  "
          f"{wakes:6.1f} wake-ups/s")
med = [statistics.median(c) for c in zip(*rows)]
print(f"median: cpu {med[0]:5.2f} % of one core (goal <= 0.5 %)  {med[1]:7.1f} ms  wall {med[2]:6.2f} s  "
      f"{med[3]:6.1f} wake-ups/s")
sys.exit(0 if med[0] <= 0.5 else 1)
EOF
