#!/usr/bin/env bash
# Whole-system figures, printed as a table: quarnel on the simulated FPGA
# (one headbox) and the PC client across the harness's cable.
#   (1) headbox -> PC throughput at full simulator speed, every byte checked
#   (2) the same volume relayed by socat from a pipe to a TCP client (loopback)
#   (3) a plain loopback TCP pump: the machine's limit
#   (4) latency word-enters-FIFO -> bytes at the PC, at a realistic rate and
#       at full speed
#   (5) "ok" round trip of a command that does not wait
#   (6) quarnel's CPU seconds per second and peak RSS, idle and streaming
#
#   scripts/bench.sh [BUILD_DIR]        (default build/; starts the harness)
# Variables: QUARNEL_BENCH_SECONDS (full-speed run, 10),
#            QUARNEL_BENCH_RATE (realistic rate, bytes/s, 4000000).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if ! "$here/harness.sh" --inside 2>/dev/null; then
    build=$(cd "${1:-$here/../build}" && pwd)
    exec "$here/harness.sh" "$here/bench.sh" "$build"
fi
build=${1:?build folder}
quarnel=$build/quarnel/quarnel
client=$build/tools/quarnelclient/quarnelclient
panel=$QUARNEL_PANEL_IP
seconds=${QUARNEL_BENCH_SECONDS:-10}
rate=${QUARNEL_BENCH_RATE:-4000000}
work=$QUARNEL_HARNESS_DIR/bench
mkdir -p "$work"
ticks=$(getconf CLK_TCK)

qpid=
finish() {
    [ -n "$qpid" ] && kill "$qpid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap finish EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }
# utime + stime of a process, in clock ticks.
cputicks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

# quarnel on the simulated FPGA; waits for its first discovery broadcast.
start_quarnel() {
    mkdir -p "$XDG_CONFIG_HOME/talvenor"
    printf '[General]\nfirstTime=no\n' >"$XDG_CONFIG_HOME/talvenor/quarnel.conf"
    ZELK_FPGA=sim ZELK_SIM_HEADBOXES=1 ZELK_SIM_RATE=$1 QT_QPA_PLATFORM=offscreen \
        "$quarnel" >/dev/null 2>&1 &
    qpid=$!
    "$here/pc.sh" "$client" discover --count 1 --timeout 20 >/dev/null
}
stop_quarnel() {
    kill -TERM "$qpid"
    wait "$qpid" || { echo "bench: quarnel ended with an error" >&2; exit 1; }
    qpid=
}

# Records with the pattern checked; sets rec_mb_s, rec_bytes, lat_* (ms),
# cpu_s_s (quarnel's CPU seconds per second meanwhile), rec_ok.
record() {
    local t0 c0 c1 t1 out=$work/record.out
    t0=$(now); c0=$(cputicks "$qpid")
    "$here/pc.sh" "$client" record "$panel" --quiet --check "$@" >"$out" 2>&1 || true
    c1=$(cputicks "$qpid"); t1=$(now)
    rec_bytes=$(awk '/^recorded/ { print $2 }' "$out")
    rec_mb_s=$(awk '/^recorded/ { print $(NF-1) }' "$out")
    rec_ok=$(grep -q ': good$' "$out" && echo yes || echo NO)
    lat_p50=$(sed -n 's/.* p50 \([0-9.]*\) ms.*/\1/p' "$out")
    lat_p99=$(sed -n 's/.* p99 \([0-9.]*\) ms.*/\1/p' "$out")
    lat_max=$(sed -n 's/.* max \([0-9.]*\) ms.*/\1/p' "$out")
    cpu_s_s=$(calc "($c1 - $c0) / $ticks / ($t1 - $t0)")
    if [ "$rec_ok" != yes ]; then
        echo "bench: the recorded stream failed its check:" >&2
        cat "$out" >&2
    fi
}

# Seconds a loopback TCP client needs to receive `bytes` from a socat
# server. pipe: the server relays what `head` writes into a pipe (socat's
# default 8 KiB blocks); pump: it sends /dev/zero itself in 256 KiB blocks.
socat_pump() {
    local bytes=$1 port=$2 kind=$3 block=8192 t0 t1 server
    if [ "$kind" = pipe ]; then
        head -c "$bytes" /dev/zero |
            socat -u STDIN "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" 2>/dev/null &
    else
        block=262144
        socat -u -b "$block" "/dev/zero,readbytes=$bytes" \
            "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" 2>/dev/null &
    fi
    server=$!
    for _ in $(seq 200); do
        ss -Hltn "sport = :$port" | grep -q . && break
        sleep 0.01
    done
    t0=$(now)
    socat -u -b "$block" "TCP:127.0.0.1:$port" /dev/null
    t1=$(now)
    wait "$server" 2>/dev/null || true
    calc "$t1 - $t0" 4
}

echo "bench: quarnel idle (5 s), then streaming at a realistic $rate bytes/s (5 s)" >&2
start_quarnel "$rate"
sleep 2
c0=$(cputicks "$qpid"); t0=$(now)
sleep 5
idle_cpu=$(calc "($(cputicks "$qpid") - $c0) / $ticks / ($(now) - $t0)")
idle_rss=$(status_kb "$qpid" VmRSS)
idle_hwm=$(status_kb "$qpid" VmHWM)
record --seconds 5 --setup 'clock 1000'
slow_ok=$rec_ok slow_mb_s=$rec_mb_s slow_cpu=$cpu_s_s
slow_p50=$lat_p50 slow_p99=$lat_p99 slow_max=$lat_max
slow_hwm=$(status_kb "$qpid" VmHWM)

echo "bench: \"ok\" round trip, 1000 headbox read selections" >&2
"$here/pc.sh" "$client" command "$panel" read 0 --repeat 1000 >"$work/rtt.out" 2>&1 || true
rtt_p50=$(sed -n 's/.*p50 \([0-9.]*\) ms.*/\1/p' "$work/rtt.out" | tail -n1)
rtt_p99=$(sed -n 's/.*p99 \([0-9.]*\) ms.*/\1/p' "$work/rtt.out" | tail -n1)
rtt_max=$(sed -n 's/.*max\(imum\)\{0,1\} \([0-9.]*\) ms.*/\2/p' "$work/rtt.out" | tail -n1)
stop_quarnel

echo "bench: full simulator speed, ${seconds} s" >&2
start_quarnel 0
sleep 2
record --seconds "$seconds"
fast_ok=$rec_ok fast_mb_s=$rec_mb_s fast_cpu=$cpu_s_s fast_bytes=$rec_bytes
fast_p50=$lat_p50 fast_p99=$lat_p99 fast_max=$lat_max
fast_hwm=$(status_kb "$qpid" VmHWM)
stop_quarnel

echo "bench: socat and the plain pump, $fast_bytes bytes each" >&2
socat_s=$(socat_pump "$fast_bytes" 47001 pipe)
pump_s=$(socat_pump "$fast_bytes" 47002 pump)
socat_mb_s=$(calc "$fast_bytes / $socat_s / 1e6")
pump_mb_s=$(calc "$fast_bytes / $pump_s / 1e6")

cpu_model=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
printf '\nMachine: %s x %s, %s\n' "$(nproc)" "${cpu_model:-unknown CPU}" "$(uname -sr)"
printf 'Volume: %s bytes (%s s at full speed); realistic rate %s bytes/s\n\n' "$fast_bytes" "$seconds" "$rate"
fmt='%-58s %12s %10s\n'
printf "$fmt" "Measure" "Value" "vs (3)"
printf "$fmt" "(1) headbox -> PC through quarnel, checked ($fast_ok)" "$fast_mb_s MB/s" "$(calc "$fast_mb_s / $pump_mb_s" 3)"
printf "$fmt" "(2) socat, pipe -> TCP client on loopback" "$socat_mb_s MB/s" "$(calc "$socat_mb_s / $pump_mb_s" 3)"
printf "$fmt" "(3) plain loopback TCP pump" "$pump_mb_s MB/s" "1.000"
printf "$fmt" "(4) latency at $(calc "$rate / 1e6" 1) MB/s ($slow_ok), p50 / p99 / max" "$slow_p50 / $slow_p99 / $slow_max ms" ""
printf "$fmt" "(4) latency at full speed, p50 / p99 / max" "$fast_p50 / $fast_p99 / $fast_max ms" ""
printf "$fmt" "(5) \"ok\" round trip (read 0), p50 / p99 / max" "$rtt_p50 / $rtt_p99 / $rtt_max ms" ""
printf "$fmt" "(6) quarnel idle: CPU s/s, RSS" "$idle_cpu, $((idle_rss / 1024)) MB" ""
printf "$fmt" "(6) quarnel streaming $(calc "$rate / 1e6" 1) MB/s: CPU s/s, peak RSS" "$slow_cpu, $((slow_hwm / 1024)) MB" ""
printf "$fmt" "(6) quarnel streaming full speed: CPU s/s, peak RSS" "$fast_cpu, $((fast_hwm / 1024)) MB" ""
cat <<'NOTES'

(1) crosses the harness's veth pair into the PC's namespace; (2) and (3) stay
on loopback. (4) is measured from the simulated FIFO's time stamp to the PC's
read. (5): the maximum is the first command of the connection, which waits
until the presence check under way has ended. (6) idle: the FPGA library's
reader thread polls the FIFO without sleeping, one core all the time.
NOTES
[ "$fast_ok" = yes ] && [ "$slow_ok" = yes ]
