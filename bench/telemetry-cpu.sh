#!/usr/bin/env bash
# CPU of the site service with its outputs on while polling: `qdrtool run`
# polling qdrsim over UDP loopback, with MQTT to a mosquitto of its own, the
# metrics endpoint (scraped every 15 s as Prometheus does) and the alerts on,
# measured as a whole process, every thread included, over several windows
# once the archive is filed. The simulator and the broker are
# processes of their own and do not count.
#
# Prints each window and the medians of CPU in % of one core and wake-ups
# per second. Goal: CPU at most 0.5 % of one core.
#
# usage: bench/telemetry-cpu.sh [--runs N] [--seconds S] [--build DIR]
#   --runs     measuring windows (default 5)
#   --seconds  length of each window (default 30)
#   --build    build folder with sim/qdrsim and tools/qdrtool (default build/bench)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build/bench}
RUNS=5
SECONDS_PER_RUN=30
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=${2:?--runs needs a number}; shift 2 ;;
    --seconds) SECONDS_PER_RUN=${2:?--seconds needs a number}; shift 2 ;;
    --build) BUILD=${2:?--build needs a folder}; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
# shellcheck source=bench/programs.sh
. "$ROOT/bench/programs.sh"
command -v mosquitto >/dev/null || { echo "mosquitto is not installed (scripts/deps)" >&2; exit 2; }

exec /usr/bin/python3 - "$SIM" "$TOOL" "$RUNS" "$SECONDS_PER_RUN" <<'PYEOF'
import os, signal, socket, statistics, subprocess, sys, tempfile, time, urllib.request

sim_path, driver_path, runs, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
work = tempfile.TemporaryDirectory()
procs = []

def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port

def stop_all():
    for p in reversed(procs):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()

def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime

def switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
    return total

try:
    broker_port, metrics_port = free_port(), free_port()
    conf = os.path.join(work.name, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"persistence false\nlistener {broker_port} 127.0.0.1\nallow_anonymous true\n")
    procs.append(subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    # The regulator's clock runs, so the live values change; a small archive.
    sim = subprocess.Popen([sim_path, "--udp", "127.0.0.1:0", "--generation", "3", "--now", "2026-12-01T03:07",
                            "--lost", "2870"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           text=True)
    procs.append(sim)
    endpoint = None
    for line in sim.stdout:
        if line.startswith("UDP "):
            endpoint = line.split()[1]
        if line.startswith("READY"):
            break
    site = os.path.join(work.name, "site")
    os.mkdir(site)
    with open(os.path.join(site, "qdrwin.ini"), "w") as f:
        f.write(f"[KOMUNIKACIA]\nIP={endpoint}\n[MQTT]\nHost=127.0.0.1\nPort={broker_port}\nNode=bench\n"
                f"[METRIKY]\nListen=127.0.0.1:{metrics_port}\n")
    log_path = os.path.join(work.name, "run.log")
    with open(log_path, "w") as log:
        driver = subprocess.Popen([driver_path, "run"], cwd=site, stdout=subprocess.DEVNULL, stderr=log)
    procs.append(driver)
    # Identified, archive filed, broker connected.
    time.sleep(20)
    with open(log_path) as log:
        said = log.read()
    if "mqtt-connected" not in said or "metrics-listening" not in said:
        sys.exit("the outputs did not start:\n" + said)
    hz = os.sysconf("SC_CLK_TCK")
    rows = []
    for run in range(runs):
        t0, c0, s0 = time.monotonic(), cpu_ticks(driver.pid), switches(driver.pid)
        next_scrape = t0
        while time.monotonic() - t0 < seconds:
            if time.monotonic() >= next_scrape:
                urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=5).read()
                next_scrape += 15
            time.sleep(0.5)
        wall = time.monotonic() - t0
        cpu = (cpu_ticks(driver.pid) - c0) / hz
        wakes = (switches(driver.pid) - s0) / wall
        rows.append((100 * cpu / wall, wakes))
        print(f"  window {run + 1}: cpu {100 * cpu / wall:5.2f} %  {1000 * cpu:7.1f} ms in {wall:5.1f} s  "
              f"{wakes:6.1f} wake-ups/s", flush=True)
    med = [statistics.median(c) for c in zip(*rows)]
    print(f"median: cpu {med[0]:5.2f} % of one core (goal <= 0.5 %)  {med[1]:6.1f} wake-ups/s")
    status = 0 if med[0] <= 0.5 else 1
finally:
    stop_all()
sys.exit(status)
PYEOF
