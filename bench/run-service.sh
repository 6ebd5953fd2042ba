#!/usr/bin/env bash
# The site service `qdrtool run` against qdrsim over UDP loopback, as a whole
# process (every thread; the simulator is a separate process and does not
# count):
#   1. CPU in % of one core and wake-ups per second (context switches of all
#      its threads) while it polls after the archive is filed, with the
#      regulator's clock running as a real one does; measured in windows of
#      --window seconds, the median printed. Goal: at most 0.5 % of a core.
#   2. Resident memory (VmRSS) once the archive is filed, after 1 simulated
#      hour and after 24 simulated hours of polling and filing, the
#      simulator's clock running --speed times as fast (a record every
#      900/speed s). By default the day takes one real hour, so the last
#      figure is also that of an hour of polling; a faster clock files a day
#      in less time but polls for less of it. Goal: growth below 1 MB.
#
# usage: bench/run-service.sh [--window S] [--windows N] [--speed F] [--build DIR]
#   --window   seconds per CPU window (default 60)
#   --windows  CPU windows (default 5)
#   --speed    simulated seconds per real second for the memory part (default 24:
#              24 hours in one hour; 360 takes 4 minutes)
#   --build    build folder with sim/qdrsim and tools/qdrtool (default build/bench)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build/bench}
WINDOW=60
WINDOWS=5
SPEED=24
while [ $# -gt 0 ]; do
  case "$1" in
    --window) WINDOW=${2:?--window needs seconds}; shift 2 ;;
    --windows) WINDOWS=${2:?--windows needs a number}; shift 2 ;;
    --speed) SPEED=${2:?--speed needs a number}; shift 2 ;;
    --build) BUILD=${2:?--build needs a folder}; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
# shellcheck source=bench/programs.sh
. "$ROOT/bench/programs.sh"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

/usr/bin/python3 - "$SIM" "$TOOL" "$WORK" "$WINDOW" "$WINDOWS" "$SPEED" <<'EOF'
import os, re, signal, statistics, subprocess, sys, time
sim_exe, tool, work, window, windows, speed = sys.argv[1], sys.argv[2], sys.argv[3], \
    float(sys.argv[4]), int(sys.argv[5]), float(sys.argv[6])
hz = os.sysconf("SC_CLK_TCK")
procs = []
sims = []

def stop_all():
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()

def start_sim(args):
    p = subprocess.Popen([sim_exe, "--udp", "127.0.0.1:0", "--generation", "3"] + args,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    procs.append(p)
    sims.append(p)
    endpoint = None
    for line in p.stdout:
        if line.startswith("UDP "):
            endpoint = line[4:].strip()
        if line.startswith("READY"):
            break
    if not endpoint:
        sys.exit("qdrsim did not start")
    return endpoint

def start_run(name, endpoint):
    site = os.path.join(work, name)
    os.mkdir(site)
    with open(os.path.join(site, "qdrwin.ini"), "w") as f:
        f.write(f"[KOMUNIKACIA]\nIP={endpoint}\n")
    log = open(os.path.join(site, "run.log"), "w+")
    p = subprocess.Popen([tool, "run"], cwd=site, stdout=subprocess.DEVNULL, stderr=log)
    procs.append(p)
    return p, log

def wait_for(log, pattern, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        log.seek(0)
        if re.search(pattern, log.read(), re.M):
            return
        time.sleep(0.5)
    log.seek(0)
    sys.exit(f"no '{pattern}' within {seconds} s; the log says:\n{log.read()}")

MONTHS = ["jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"]

def records_in(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return 0
    size = int.from_bytes(data[2:4], "little") if len(data) >= 12 else 0
    return (len(data) - 12) // size if size else 0

def caught_up(sim, site, limit=900):
    # The current month's file holds every record the regulator reports.
    end = time.monotonic() + limit
    while time.monotonic() < end:
        sim.stdin.write("status\n")
        sim.stdin.flush()
        line = sim.stdout.readline()
        m = re.search(r"table (\d+) \d+ (\d+)", line)
        if m:
            month, count = int(m.group(1)), int(m.group(2))
            name = f"{month // 12}{MONTHS[month % 12]}.qdr"
            if records_in(os.path.join(site, name)) >= count:
                return
        time.sleep(2)
    sys.exit("the current month was never caught up")

def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, every thread

def switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass
    return total

def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0

try:
    # 1. CPU: the regulator's clock runs in real time; both months are filed first.
    endpoint = start_sim(["--lost", "2000"])
    run, log = start_run("cpu", endpoint)
    wait_for(log, r"^month-filed ", 600)
    caught_up(sims[-1], os.path.join(work, "cpu"))
    time.sleep(5)
    rows = []
    for w in range(windows):
        t0, c0, s0 = time.monotonic(), cpu_ticks(run.pid), switches(run.pid)
        time.sleep(window)
        t1, c1, s1 = time.monotonic(), cpu_ticks(run.pid), switches(run.pid)
        wall = t1 - t0
        cpu = (c1 - c0) / hz
        rows.append((100 * cpu / wall, (s1 - s0) / wall))
        print(f"  window {w + 1}: cpu {100 * cpu / wall:5.2f} %  {(s1 - s0) / wall:6.1f} wake-ups/s", flush=True)
    cpu_med = statistics.median(r[0] for r in rows)
    wake_med = statistics.median(r[1] for r in rows)
    print(f"median: cpu {cpu_med:5.2f} % of one core (goal <= 0.5 %)  {wake_med:6.1f} wake-ups/s", flush=True)
    run.send_signal(signal.SIGTERM)
    run.wait(10)

    # 2. Memory: a fast clock; the month does not turn within the day (the
    #    simulator drops the older month's first records then, which would
    #    say more about its model than about the service).
    endpoint = start_sim(["--speed", str(speed), "--now", "2026-11-05T00:00", "--lost", "2950"])
    run, log = start_run("memory", endpoint)
    wait_for(log, r"^month-filed ", 600)
    caught_up(sims[-1], os.path.join(work, "memory"))
    start = time.monotonic()
    base = rss_kb(run.pid)
    def after(hours):
        left = start + hours * 3600 / speed - time.monotonic()
        if left > 0:
            time.sleep(left)
        if run.poll() is not None:
            log.seek(0)
            sys.exit(f"qdrtool run ended ({run.returncode}):\n{log.read()}")
        return rss_kb(run.pid)
    hour = after(1)
    day = after(24)
    print(f"resident: {base} kB when filed, {hour} kB after 1 simulated hour (+{hour - base} kB), "
          f"{day} kB after 24 simulated hours, {(time.monotonic() - start) / 60:.0f} minutes of polling "
          f"(+{day - base} kB; goal < 1024 kB)", flush=True)
    run.send_signal(signal.SIGTERM)
    status = run.wait(10)
    log.seek(0)
    text = log.read()
    months = re.findall(r"^month-filed month=(\S+) records=(\d+)", text, re.M)
    print(f"  months filed: {', '.join(f'{m} {n}' for m, n in months)}; exit {status}")
    bad = [l for l in text.splitlines() if l.split(" ")[0] in ("write-failed", "records-lost", "stall")]
    if bad:
        print("  the log says:\n    " + "\n    ".join(bad))
    ok = cpu_med <= 0.5 and day - base < 1024 and not bad
    sys.exit(0 if ok else 1)
finally:
    stop_all()
EOF
