#!/usr/bin/env bash
# End-to-end throughput: trelvane-sim floods trelvaned over loopback (tag reports at rate 0, as
# fast as the server takes them) with 10 and 100 readers, with logging off (KeepRecord 0) and
# both daily logs on (KeepRecord 3), each with the history on (the default) and off. For each
# case it prints the reports recorded per second, the history's rows written per second, the
# reports lost (sent by the readers but not recorded; must be 0), the reads missing from the
# history (must be 0 when it is on) and how often the history held the receive path back
# (held > 0: the readers were slowed to what the database takes). Beside them, the same readers
# flooding a plain socket sink that only reads and discards (the ceiling).
#   bench/end_to_end.sh [FLOOD_SECONDS]      (default 10; builds nothing: run scripts/setup)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/bin
bench=$PWD/build/bench
flood=${1:-10}
# Distinct tag numbers the readers cycle through: 1,000,000 makes nearly every read the first
# of its tag at its reader (a presence arrival and a rollup row each: the history's worst case);
# TAGS=10000 is closer to a site, where readers see the same tags many times a minute.
tags=${TAGS:-1000000}
handshake=16   # the server starts reading 15 s after a reader connects
port=$((20000 + RANDOM % 20000))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

report_bytes=23  # a tag report with L = 17 on the wire (more when a byte needs escaping)

serve_case() {
    local readers=$1 keep=$2 history=$3
    local dir=$work/case-$readers-$keep-$history
    mkdir -p "$dir"
    printf '[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=%d\r\nLogin_Time=10\r\nUSER_Refresh_Time=1\r\nKeepRecord=%d\r\nCalibrateTime=0\r\n[History]\r\nEnabled=%d\r\n' \
        "$port" "$keep" "$history" > "$dir/SysConf.ini"
    "$bin/trelvaned" -C "$dir" > "$dir/server.log" 2>&1 &
    local server=$!
    for _ in $(seq 50); do grep -q listening "$dir/server.log" && break; sleep 0.1; done
    local summary
    summary=$("$bin/trelvane-sim" --port "$port" --readers "$readers" --rate 0 --tags "$tags" \
        --duration $((handshake + flood)) --drain 120 --quiet | grep '^summary')
    kill -TERM "$server"
    wait "$server" || true
    local sent recorded rate rows_rate history_reads missing held
    sent=$(sed -n 's/.* reports=\([0-9]*\).*/\1/p' <<<"$summary")
    recorded=$(grep 'status ' "$dir/server.log" | tail -n 1 | sed -n 's/.* reads=\([0-9]*\).*/\1/p')
    # Steady rates: the mean of the per-second status lines while reports were flowing, without
    # the first and last (partial) seconds.
    rate=$(grep 'status ' "$dir/server.log" | sed -n 's/.*reads_per_s=\([0-9.]*\).*/\1/p' |
        awk '$1 > 0 { v[n++] = $1 } END { s = 0; c = 0; for (i = 1; i < n - 1; i++) { s += v[i]; c++ }
                                         if (c == 0) { print 0 } else { printf "%.0f", s / c } }')
    if [ "$history" = 1 ]; then
        rows_rate=$(grep 'status ' "$dir/server.log" | sed -n 's/.* history_rows=\([0-9]*\).*/\1/p' |
            awk '{ d = $1 - p; p = $1; if (d > 0) v[n++] = d }
                 END { s = 0; c = 0; for (i = 1; i < n - 1; i++) { s += v[i]; c++ }
                       if (c == 0) { print 0 } else { printf "%.0f", s / c } }')
        held=$(grep 'status ' "$dir/server.log" | tail -n 1 | sed -n 's/.* history_held=\([0-9]*\).*/\1/p')
        history_reads=$("$bin/trelvane-history" -C "$dir" --kind reads --format csv | tail -n +2 | wc -l)
        missing=$((recorded - history_reads))
    else
        rows_rate=- held=- missing=-
    fi
    printf '%-8s %-11s %-8s %14s %14s %12s %12s %6s %8s %8s\n' "$readers" "$keep" "$history" \
        "$rate" "$rows_rate" "$sent" "$recorded" $((sent - recorded)) "$missing" "$held"
    rm -f "$dir"/trelvane.db*
    port=$((port + 1))
}

sink_case() {
    local readers=$1
    "$bench/bench_socket_sink" "$port" > "$work/sink.log" 2>&1 &
    local sink=$!
    sleep 0.3
    "$bin/trelvane-sim" --port "$port" --readers "$readers" --rate 0 --tags 1000000 \
        --duration "$flood" --quiet > /dev/null
    kill -TERM "$sink"
    wait "$sink" || true
    local bytes
    bytes=$(sed -n 's/.* bytes=\([0-9]*\).*/\1/p' "$work/sink.log")
    printf '%-8s %-11s %-8s %14s\n' "$readers" "sink" "-" $((bytes / report_bytes / flood))
    port=$((port + 1))
}

echo "End-to-end over loopback, ${flood} s of flooding per case, ${tags} tags, $(nproc) cores"
printf '%-8s %-11s %-8s %14s %14s %12s %12s %6s %8s %8s\n' readers KeepRecord history \
    "recorded/s" "hist rows/s" sent recorded lost missing held
for readers in 10 100; do
    for keep in 0 3; do
        for history in 1 0; do
            serve_case "$readers" "$keep" "$history"
        done
    done
    sink_case "$readers"
done
