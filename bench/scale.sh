#!/usr/bin/env bash
# Scale: N simulated readers (default 10,000) connect to trelvaned over loopback at once and go
# through their start-up dialogue. Prints the time until every reader is reading, the server's
# resident memory per reader (goal: under 20 KB), and how long Stop Service takes with all of
# them connected (goal: under 1 s).
#   bench/scale.sh [READERS]        (builds nothing: run scripts/setup first)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/bin
readers=${1:-10000}
port=$((20000 + RANDOM % 20000))
work=$(mktemp -d)
server=""
sim=""
cleanup() {
    [ -n "$sim" ] && kill -TERM "$sim" 2>/dev/null || true
    [ -n "$server" ] && kill -TERM "$server" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
now_ms() { date +%s%3N; }

printf '[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=%d\r\nLogin_Time=10\r\nUSER_Refresh_Time=2\r\nKeepRecord=0\r\nCalibrateTime=0\r\n' \
    "$port" > "$work/SysConf.ini"
"$bin/trelvaned" -C "$work" > "$work/server.log" 2>&1 &
server=$!
for _ in $(seq 50); do grep -q listening "$work/server.log" && break; sleep 0.1; done
sleep 0.5
idle_rss=$(rss_kb "$server")

start=$(now_ms)
"$bin/trelvane-sim" --port "$port" --readers "$readers" --rate 0.2 --tags 100000 \
    --connect-window 512 --quiet > "$work/sim.log" 2>&1 &
sim=$!

all_reading=""
for _ in $(seq 600); do
    sleep 0.5
    line=$(grep 'status ' "$work/server.log" | tail -n 1 || true)
    count=$(sed -n 's/.* reading=\([0-9]*\).*/\1/p' <<<"$line")
    if [ "${count:-0}" -ge "$readers" ]; then
        all_reading=$(( $(now_ms) - start ))
        break
    fi
done
sleep 2
busy_rss=$(rss_kb "$server")
grep 'status ' "$work/server.log" | tail -n 1

kill -TERM "$server"
wait "$server" || true
server=""
stop_ms=$(sed -n 's/.*service stopped in \([0-9]*\) ms.*/\1/p' "$work/server.log")

echo "Scale over loopback: $readers readers, $(nproc) cores"
if [ -n "$all_reading" ]; then
    echo "  all reading after:       $((all_reading / 1000)).$(printf '%03d' $((all_reading % 1000))) s  (the dialogue itself takes 15 s per reader)"
else
    echo "  not all readers reached reading mode within 300 s"
fi
echo "  server RSS idle / busy:  ${idle_rss} KB / ${busy_rss} KB"
echo "  per reader:              $(( (busy_rss - idle_rss) * 1000 / readers )) bytes  (goal: under 20 KB)"
echo "  Stop Service:            ${stop_ms} ms  (goal: under 1 s)"
