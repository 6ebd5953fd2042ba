#!/usr/bin/env bash
# Mailing a month's text file: runs `qdrtool mail` with a text file of the
# size a full month's tables make (about 250 kB: 2976 interval rows of 11
# measurements) against the local SMTP sink of the tests on loopback, and
# reports the median wall time of several runs, start-up of the tool
# included, and what the sink received.
#
# usage: bench/mail.sh [--runs N] [--build DIR] [--security none|starttls|tls]
#   --runs N        number of mails (default 9)
#   --build DIR     build folder with tools/qdrtool (default build/bench)
#   --security S    none: the plain HELO dialogue (default); starttls or tls:
#                   the sink speaks it with a certificate of a CA made here
#                   with openssl and asks for AUTH
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build/bench}
RUNS=9
SECURITY=none
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=${2:?--runs needs a number}; shift 2 ;;
    --build) BUILD=${2:?--build needs a folder}; shift 2 ;;
    --security) SECURITY=${2:?--security needs none, starttls or tls}; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
case "$BUILD" in /*) ;; *) BUILD=$(pwd)/$BUILD ;; esac
TOOL=$BUILD/tools/qdrtool
[ -x "$TOOL" ] || { echo "missing $TOOL (build the qdrtool target first)" >&2; exit 2; }

WORK=$(mktemp -d)
SINK_PID=""
cleanup() {
  if [ -n "$SINK_PID" ] && kill -0 "$SINK_PID" 2>/dev/null; then
    kill "$SINK_PID" 2>/dev/null || true
    wait "$SINK_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/sink" "$WORK/site"
SINK_OPTIONS=()
MAIL_KEYS="Security=none"
case "$SECURITY" in
  none) ;;
  starttls|tls)
    ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${ec[@]}" -keyout "$WORK/ca.key" -out "$WORK/ca.pem" -days 2 -subj "/CN=bench CA" \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    openssl req "${ec[@]}" -keyout "$WORK/server.key" -out "$WORK/server.csr" -subj /CN=localhost 2>/dev/null
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$WORK/server.ext"
    openssl x509 -req -in "$WORK/server.csr" -CA "$WORK/ca.pem" -CAkey "$WORK/ca.key" -CAcreateserial \
      -out "$WORK/server.pem" -days 2 -extfile "$WORK/server.ext" 2>/dev/null
    SINK_OPTIONS=(--cert "$WORK/server.pem" --key "$WORK/server.key" "--$SECURITY" --auth bench:heslo)
    MAIL_KEYS=$(printf 'Security=%s\nLogin=bench\nPassword=heslo\nCAFile=%s' "$SECURITY" "$WORK/ca.pem") ;;
  *) echo "unknown security: $SECURITY" >&2; exit 2 ;;
esac
/usr/bin/python3 "$ROOT/tests/support/smtp_sink.py" --dir "$WORK/sink" "${SINK_OPTIONS[@]}" >"$WORK/sink.out" 2>"$WORK/sink.err" &
SINK_PID=$!
for _ in $(seq 100); do grep -q '^PORT ' "$WORK/sink.out" 2>/dev/null && break; sleep 0.05; done
PORT=$(sed -n 's/^PORT //p' "$WORK/sink.out")
[ -n "$PORT" ] || { echo "the SMTP sink did not start" >&2; cat "$WORK/sink.err" >&2; exit 1; }

printf '[MAIL]\nHost=127.0.0.1\nPort=%s\nUser=bench\nFromName=QDR\nFromAdr=qdr@site.sk\nToAdr=archiv@firma.sk\n%s\n' \
  "$PORT" "$MAIL_KEYS" >"$WORK/site/qdrwin.ini"
# Rows as the interval table has them: date, time and 11 powers, CR LF ended.
awk 'BEGIN {
  for (d = 1; d <= 31; d++)
    for (q = 0; q < 96; q++) {
      printf "%02d.01.2026 %02d:%02d", d, q / 4, (q % 4) * 15
      for (c = 0; c < 11; c++) printf " %5d", (d * 97 + q * 13 + c * 31) % 9000
      printf "\r\n"
    }
}' >"$WORK/site/2026JAN.TXT"
SIZE=$(stat -c %s "$WORK/site/2026JAN.TXT")

times=()
for i in $(seq "$RUNS"); do
  start=$EPOCHREALTIME
  (cd "$WORK/site" && "$TOOL" mail 2026JAN.TXT >"$WORK/mail.out" 2>"$WORK/mail.err") \
    || { echo "run $i: qdrtool mail failed" >&2; cat "$WORK/mail.err" >&2; exit 1; }
  end=$EPOCHREALTIME
  times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", (b - a) * 1000 }')")
done
received=$(ls "$WORK/sink"/msg-*.eml | wc -l)
[ "$received" -eq "$RUNS" ] || { echo "the sink holds $received messages, $RUNS were sent" >&2; exit 1; }
msgsize=$(stat -c %s "$WORK/sink/msg-1.eml")

median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
printf 'security %s, file %d bytes, message %d bytes, %d runs\n' "$SECURITY" "$SIZE" "$msgsize" "$RUNS"
printf 'runs (ms): %s\n' "${times[*]}"
printf 'median %s ms per mail (qdrtool start-up included)\n' "$median"
