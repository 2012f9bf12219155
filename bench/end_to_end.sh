#!/usr/bin/env bash
# End-to-end throughput over loopback, measured with a load generator that is not the bottleneck
# (bench_replay: readers that answer the start-up dialogue, then stream precomputed tag reports
# as fast as the socket takes them) and compared, in the same run, with the protocol's own cost
# (bench_floor: a minimal single-threaded server of ours doing the same protocol work: 256-byte
# receives each acknowledged, the 1024-byte device buffer, deframing, CRC, a tag table, log
# lines), once with one send per acknowledgement and once batched.
#
# Part 1, the receive path (history off): 1, 10 and 100 readers, KeepRecord 0 and 3. Per case:
# reports recorded per second by trelvaned and by both floors, trelvaned's rate and CPU per
# report as ratios to the batched floor, and lost = sent - recorded (must be 0 everywhere).
# Beside them, what the generator pushes into a plain sink (it must be far above the rest).
#
# Part 2, the history (on by default): 10 and 100 readers, KeepRecord 0 and 3: history rows
# written per second, reads missing from the history (must be 0) and how often the history held
# the receive path back (held > 0: the readers were slowed to what the database takes).
#
# Part 3, zones (history on, 10 readers, KeepRecord 0): the same run without zones and with the
# readers in 3 zones (R01-R03, R04-R06, R07-R10), alternated twice, so each figure has its pair
# measured beside it. Every reader sees every tag: the tracker's busiest case (reads of a tag
# from other zones all the time).
#
#   bench/end_to_end.sh [FLOOD_SECONDS]      (default 10; builds nothing: run scripts/setup)
#   PARTS="1 2 3" TAGS=1000000 RECEIVE_TAGS=10000 READERS="1 10 100" environment overrides;
#   TRELVANED=PATH measures another build of the server (a before/after pair)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/bin
bench=$PWD/build/bench
flood=${1:-10}
# Distinct tag numbers the readers cycle through: 1,000,000 makes nearly every read the first
# of its tag at its reader (a presence arrival and a rollup row each: the history's worst case);
# TAGS=10000 is closer to a site, where readers see the same tags many times a minute.
tags=${TAGS:-1000000}
# The receive path is measured with a site's 10,000 tags (RECEIVE_TAGS to change it): with a
# million, the tag table's own growth dominates every server alike.
receive_tags=${RECEIVE_TAGS:-10000}
parts=${PARTS:-1 2 3}
readers_list=${READERS:-1 10 100}
# Below the ephemeral range (32768 on), where a reader connection could hold the port.
port=$((20000 + RANDOM % 10000))
tick=$(getconf CLK_TCK)

work=$(mktemp -d)
server=
cleanup() {
    [ -n "$server" ] && kill -KILL "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# CPU seconds (user + system) a process has used so far.
cpu_of() {
    awk -v t="$tick" '{ sub(/^.*\) /, ""); printf "%.3f", ($12 + $13) / t }' "/proc/$1/stat"
}

field() {  # field NAME LINE: the value of NAME=... in LINE
    sed -n "s/.*[ ^]$1=\([0-9.]*\).*/\1/p" <<<" $2"
}

wait_for() {  # wait_for FILE TEXT: up to 5 s
    for _ in $(seq 50); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "timed out waiting for '$2' in $1" >&2
    return 1
}

# Runs the generator against whatever listens on $port; sets sent, rate.
replay() {
    local readers=$1
    shift
    local summary
    summary=$("$bench/bench_replay" --port "$port" --readers "$readers" --tags "$case_tags" \
        --seconds "$flood" --start-timeout 40 --drain 120 "$@" | grep '^summary')
    sent=$(field reports "$summary")
    rate=$(field rate "$summary")
}

# trelvaned with the given readers, KeepRecord and history (and ZONED=1: three zones); sets
# sent, rate, recorded, cpu and, with history on, rows_rate, missing, held, zone_events.
serve_trelvaned() {
    local readers=$1 keep=$2 history=$3
    local dir=$work/tv-$readers-$keep-$history
    mkdir -p "$dir"
    printf '[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=%d\r\nLogin_Time=10\r\nUSER_Refresh_Time=1\r\nKeepRecord=%d\r\nCalibrateTime=0\r\n[History]\r\nEnabled=%d\r\n[Api]\r\nEnabled=0\r\n' \
        "$port" "$keep" "$history" > "$dir/SysConf.ini"
    if [ "${ZONED:-0}" = 1 ]; then
        "$bin/trelvane-site" -C "$dir" zone set "Zone 1" R01 R02 R03 > /dev/null
        "$bin/trelvane-site" -C "$dir" zone set "Zone 2" R04 R05 R06 > /dev/null
        "$bin/trelvane-site" -C "$dir" zone set "Zone 3" R07 R08 R09 R10 > /dev/null
    fi
    "${TRELVANED:-$bin/trelvaned}" -C "$dir" > "$dir/server.log" 2>&1 &
    server=$!
    wait_for "$dir/server.log" listening
    local cpu0
    cpu0=$(cpu_of "$server")
    replay "$readers"
    # The generator ends once its acknowledgements settle, which a server that holds its readers
    # back (a busy history) can make happen with bytes still waiting in its sockets: they are
    # read and recorded as it catches up. So stop it only once its read count has settled
    # (status lines come every second), at most two minutes on.
    local last="" same=0
    for _ in $(seq 240); do
        sleep 0.5
        local now
        now=$(field reads "$(grep 'status ' "$dir/server.log" | tail -n 1)")
        if [ "$now" = "$last" ]; then
            same=$((same + 1))
            [ "$same" -ge 5 ] && break
        else
            same=0
            last=$now
        fi
    done
    cpu=$(awk -v a="$(cpu_of "$server")" -v b="$cpu0" 'BEGIN { printf "%.3f", a - b }')
    kill -TERM "$server"
    wait "$server" || true
    server=
    local status
    status=$(grep 'status ' "$dir/server.log" | tail -n 1)
    recorded=$(field reads "$status")
    if [ "$history" = 1 ]; then
        rows_rate=$(grep 'status ' "$dir/server.log" | sed -n 's/.* history_rows=\([0-9]*\).*/\1/p' |
            awk '{ d = $1 - p; p = $1; if (d > 0) v[n++] = d }
                 END { s = 0; c = 0; for (i = 1; i < n - 1; i++) { s += v[i]; c++ }
                       if (c == 0) { print 0 } else { printf "%.0f", s / c } }')
        held=$(field history_held "$status")
        local history_reads
        history_reads=$("$bin/trelvane-history" -C "$dir" --kind reads --format csv | tail -n +2 | wc -l)
        missing=$((recorded - history_reads))
        zone_events=$("$bin/trelvane-history" -C "$dir" --kind zones --format csv | tail -n +2 | wc -l)
    fi
    rm -rf "$dir"
    port=$((port + 1))
}

# The floor (per chunk, or batched with --batched); sets sent, rate, recorded, cpu.
serve_floor() {
    local readers=$1 keep=$2
    shift 2
    local dir=$work/floor
    mkdir -p "$dir"
    "$bench/bench_floor" "$port" --keep "$keep" --log "$dir" "$@" > "$work/floor.log" 2>&1 &
    server=$!
    wait_for "$work/floor.log" listening
    local cpu0
    cpu0=$(cpu_of "$server")
    replay "$readers"
    cpu=$(awk -v a="$(cpu_of "$server")" -v b="$cpu0" 'BEGIN { printf "%.3f", a - b }')
    kill -TERM "$server"
    wait "$server" || true
    server=
    recorded=$(field reports "$(grep '^floor ' "$work/floor.log")")
    rm -rf "$dir"
    port=$((port + 1))
}

serve_sink() {
    "$bench/bench_socket_sink" "$port" > "$work/sink.log" 2>&1 &
    server=$!
    sleep 0.3
    replay "$1" --no-dialogue
    kill -TERM "$server"
    wait "$server" || true
    server=
    port=$((port + 1))
}

mps() { awk -v r="$1" 'BEGIN { printf "%.2f", r / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
us_per() { awk -v c="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.3f", c * 1e6 / n; else print "-" }'; }

echo "End-to-end over loopback, ${flood} s of streaming per case, $(nproc) cores"
if [[ " $parts " == *" 1 "* ]]; then
    case_tags=$receive_tags
    echo
    echo "Receive path (history off, ${case_tags} tags). Rates in M reports/s; CPU in us per report; lost = sent - recorded"
    printf '%-7s %-4s | %9s %9s %9s | %8s | %8s %8s %8s | %7s | %5s %5s %5s | %9s %6s\n' \
        readers keep trelvaned "floor/1" batched "tv÷batch" "cpu tv" "cpu bat" "cpu ×" "" \
        "lost" "f/1" "bat" "sink" "sink÷tv"
    for readers in $readers_list; do
        serve_sink "$readers"
        sink_rate=$rate
        for keep in 0 3; do
            serve_trelvaned "$readers" "$keep" 0
            tv_rate=$rate tv_cpu=$(us_per "$cpu" "$recorded") tv_lost=$((sent - recorded))
            serve_floor "$readers" "$keep"
            f1_rate=$rate f1_lost=$((sent - recorded))
            serve_floor "$readers" "$keep" --batched
            fb_rate=$rate fb_cpu=$(us_per "$cpu" "$recorded") fb_lost=$((sent - recorded))
            printf '%-7s %-4s | %9s %9s %9s | %8s | %8s %8s %8s | %7s | %5s %5s %5s | %9s %6s\n' \
                "$readers" "$keep" "$(mps "$tv_rate")" "$(mps "$f1_rate")" "$(mps "$fb_rate")" \
                "$(ratio "$tv_rate" "$fb_rate")" "$tv_cpu" "$fb_cpu" "$(ratio "$tv_cpu" "$fb_cpu")" "" \
                "$tv_lost" "$f1_lost" "$fb_lost" "$(mps "$sink_rate")" "$(ratio "$sink_rate" "$tv_rate")"
        done
    done
fi

if [[ " $parts " == *" 2 "* ]]; then
    echo
    case_tags=$tags
    echo "History on (the default, ${case_tags} tags): reads recorded and history rows written per second"
    printf '%-8s %-11s %14s %14s %12s %12s %6s %8s %8s\n' readers KeepRecord \
        "recorded/s" "hist rows/s" sent recorded lost missing held
    for readers in 10 100; do
        for keep in 0 3; do
            serve_trelvaned "$readers" "$keep" 1
            printf '%-8s %-11s %14.0f %14s %12s %12s %6s %8s %8s\n' "$readers" "$keep" "$rate" \
                "$rows_rate" "$sent" "$recorded" $((sent - recorded)) "$missing" "$held"
        done
    done
fi

if [[ " $parts " == *" 3 "* ]]; then
    echo
    case_tags=$receive_tags
    echo "Zones (history on, 10 readers, KeepRecord 0, ${case_tags} tags): without and with 3 zones, alternated"
    printf '%-6s %-6s %12s %12s %10s %8s %8s %12s\n' round zones "recorded/s" "cpu us/read" \
        "on÷off" lost missing "zone events"
    for round in 1 2; do
        for zoned in 0 1; do
            ZONED=$zoned serve_trelvaned 10 0 1
            this_cpu=$(us_per "$cpu" "$recorded")
            if [ "$zoned" = 0 ]; then off_rate=$rate; fi
            printf '%-6s %-6s %12.0f %12s %10s %8s %8s %12s\n' "$round" \
                "$([ "$zoned" = 1 ] && echo 3 || echo none)" "$rate" "$this_cpu" \
                "$([ "$zoned" = 1 ] && ratio "$rate" "$off_rate" || echo -)" \
                $((sent - recorded)) "$missing" "$zone_events"
        done
    done
fi
