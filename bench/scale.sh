#!/usr/bin/env bash
# Scale: N readers (default 1,000, 10,000 and 50,000, one run each) connect to trelvaned over
# loopback at once and go through their start-up dialogue, then stay connected at rest. Per run
# it prints the time until every reader is reading, the server's resident memory per reader
# (goal: at most 15 KB), and how long Stop Service takes with all of them connected (goal: at
# most 1 s). The readers are bench_replay's (--hold), spread over the source addresses
# 127.0.0.2-127.0.0.9: one address pair gives only ~28,000 ephemeral ports. The script raises
# the descriptor limits as far as it may; when the machine's limit stops a run, it reports the
# largest count reached.
#   bench/scale.sh [READERS...]        (builds nothing: run scripts/setup first)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/bin
bench=$PWD/build/bench
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 10000 50000)
work=$(mktemp -d)
server=""
load=""
cleanup() {
    [ -n "$load" ] && kill -TERM "$load" 2>/dev/null || true
    [ -n "$server" ] && kill -TERM "$server" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Both ends run here: the server needs a descriptor per reader and the generator another.
largest=0
for n in "${counts[@]}"; do [ "$n" -gt "$largest" ] && largest=$n; done
want=$((largest + 4096))
if [ "$want" -gt "$(ulimit -Hn)" ]; then
    ulimit -Hn "$want" 2>/dev/null || true  # root may raise the hard limit
fi
ulimit -Sn "$(ulimit -Hn)" 2>/dev/null || true
limit=$(ulimit -Sn)

rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
now_ms() { date +%s%3N; }

echo "Scale over loopback, $(nproc) cores, descriptor limit ${limit}"
printf '%-8s %10s %14s %14s %12s %14s\n' readers reading "all reading" "RSS idle" "RSS busy" "per reader"
for readers in "${counts[@]}"; do
    port=$((20000 + RANDOM % 10000))  # below the ephemeral range
    dir=$work/run-$readers
    mkdir -p "$dir"
    printf '[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=%d\r\nLogin_Time=10\r\nUSER_Refresh_Time=2\r\nKeepRecord=0\r\nCalibrateTime=0\r\n[History]\r\nEnabled=0\r\n[Api]\r\nEnabled=0\r\n' \
        "$port" > "$dir/SysConf.ini"
    "$bin/trelvaned" -C "$dir" > "$dir/server.log" 2>&1 &
    server=$!
    for _ in $(seq 50); do grep -q listening "$dir/server.log" && break; sleep 0.1; done
    sleep 0.5
    idle_rss=$(rss_kb "$server")

    start=$(now_ms)
    "$bench/bench_replay" --port "$port" --readers "$readers" --hold --sources 8 \
        --connect-window 512 --seconds 3600 --start-timeout 600 > "$dir/load.log" 2>&1 &
    load=$!

    all_reading="" count=0 best=0 still=0
    for _ in $(seq 1200); do
        sleep 0.5
        line=$(grep 'status ' "$dir/server.log" | tail -n 1 || true)
        count=$(sed -n 's/.* reading=\([0-9]*\).*/\1/p' <<<"$line")
        count=${count:-0}
        if [ "$count" -ge "$readers" ]; then
            all_reading=$(( $(now_ms) - start ))
            break
        fi
        # Stuck below the count (descriptors, ports): give up after 30 s without progress.
        if [ "$count" -gt "$best" ]; then best=$count still=0; else still=$((still + 1)); fi
        if [ "$best" -gt 0 ] && [ "$still" -ge 60 ]; then break; fi
    done
    sleep 2
    busy_rss=$(rss_kb "$server")

    kill -TERM "$server"
    wait "$server" || true
    server=""
    kill -TERM "$load" 2>/dev/null || true
    wait "$load" 2>/dev/null || true
    load=""
    stop_ms=$(sed -n 's/.*service stopped in \([0-9]*\) ms.*/\1/p' "$dir/server.log")
    reached=${count}
    if [ -n "$all_reading" ]; then
        took="$((all_reading / 1000)).$(printf '%03d' $((all_reading % 1000))) s"
    else
        took="stopped at ${reached}"
    fi
    per=$(( (busy_rss - idle_rss) * 1000 / (reached > 0 ? reached : 1) ))
    printf '%-8s %10s %14s %11s KB %9s KB %8s bytes   Stop Service %s ms\n' "$readers" "$reached" \
        "$took" "$idle_rss" "$busy_rss" "$per" "${stop_ms:-?}"
    rm -rf "$dir"
done
echo "(the dialogue itself takes 15 s per reader; goals: per reader <= 15 KB, Stop Service <= 1 s)"
