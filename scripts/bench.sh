#!/usr/bin/env bash
# Whole-system figures, printed as a table: quarnel on the simulated FPGA
# (one headbox) and the checking PC client across the harness's cable, next
# to socat and a plain TCP pump over the same cable.
#   (1) headbox -> PC through quarnel at full simulator speed, every byte checked
#   (2) socat relaying a pipe in the panel's namespace to a client in the PC's
#       namespace, over the same veth cable, the same volume
#   (3) a plain TCP pump over the same cable: the path's limit
#       (2) and (3) also on loopback, as a second line
#   (4) latency word-enters-FIFO -> bytes at the PC, at a realistic rate,
#       at a quarter of it and at full speed: p50, p99, p99.9, max
#   (5) "ok" round trip of a command that does not wait
#   (6) CPU seconds per second of quarnel and of the checking client (the
#       sender's and receiver's for socat), quarnel's peak RSS
#   (7) per thread of quarnel: CPU and time spent runnable but waiting for a
#       core (schedstat run delay), at the realistic rate and at full speed
#   (8) instructions per relayed byte, per thread, counted by callgrind over
#       a fixed volume at full speed: a cost figure that neither machine load
#       nor polling distorts much (the pollers yield on every empty pass,
#       where valgrind hands the one core it emulates to the next thread)
# Every figure but (8) is taken QUARNEL_BENCH_REPEATS times: median and
# spread (lowest-highest). The 1-minute load average is printed before each
# round: figures taken while other work loads the machine are not latencies
# of this program.
#
#   scripts/bench.sh [BUILD_DIR]        (default build/; starts the harness)
# Variables: QUARNEL_BENCH_REPEATS (3), QUARNEL_BENCH_SECONDS (full-speed
#            run, 5), QUARNEL_BENCH_LATENCY_SECONDS (each paced run, 5),
#            QUARNEL_BENCH_RATE (realistic rate, bytes/s, 4000000),
#            QUARNEL_BENCH_COST_MB (volume of (8), 16; 0 skips it),
#            QUARNEL_BENCH_CLIENT (the checking client; default: the build's),
#            QUARNEL_BENCH_CALLGRIND_DIR (keeps the profiles of (8) there),
#            QUARNEL_BENCH_NICE (niceness of the bench and what it starts,
#            e.g. -20 while other CPU-bound work runs; unset: unchanged).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if ! "$here/harness.sh" --inside 2>/dev/null; then
    build=$(cd "${1:-$here/../build}" && pwd)
    exec "$here/harness.sh" "$here/bench.sh" "$build"
fi
build=${1:?build folder}
quarnel=$build/quarnel/quarnel
client=${QUARNEL_BENCH_CLIENT:-$build/tools/quarnelclient/quarnelclient}
panel=$QUARNEL_PANEL_IP
repeats=${QUARNEL_BENCH_REPEATS:-3}
seconds=${QUARNEL_BENCH_SECONDS:-5}
lat_seconds=${QUARNEL_BENCH_LATENCY_SECONDS:-5}
rate=${QUARNEL_BENCH_RATE:-4000000}
slow_rate=$((rate / 4))
cost_mb=${QUARNEL_BENCH_COST_MB:-16}
work=$QUARNEL_HARNESS_DIR/bench
# On a machine that other CPU-bound work shares, a lower niceness for the
# bench and all it starts keeps that work from setting the latency figures;
# quarnel's threads and the client keep the same niceness among themselves.
# The harness runs in a session of its own: with autogroups, the session's
# niceness is what weighs against other sessions.
if [ -n "${QUARNEL_BENCH_NICE:-}" ]; then
    renice -n "$QUARNEL_BENCH_NICE" -p $$ >/dev/null
    if [ -w /proc/self/autogroup ]; then
        echo "$QUARNEL_BENCH_NICE" >/proc/self/autogroup
    fi
fi
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
load1() { cut -d' ' -f1 /proc/loadavg; }
# utime + stime of a process, in clock ticks.
cputicks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
# "median (lowest-highest)" of the values, with $1 decimals.
fig() {
    local d=$1
    shift
    printf '%s\n' "$@" | sort -g | awk -v d="$d" '
        { v[NR] = $1 }
        END {
            m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            if (NR == 1) printf "%.*f", d, m
            else printf "%.*f (%.*f-%.*f)", d, m, d, v[1], d, v[NR]
        }'
}
median() { fig "$1" "${@:2}" | cut -d' ' -f1; }
# The table's name of a paced run: its rate, or "full speed".
rate_label() {
    case $1 in
    slow) echo "$(calc "$rate / 1e6" 1) MB/s" ;;
    quarter) echo "$(calc "$slow_rate / 1e6" 1) MB/s" ;;
    fast) echo "full speed" ;;
    esac
}

# Per thread of a process: "tid name ns-on-cpu ns-waiting-for-a-core".
threads() {
    local t
    for t in /proc/"$1"/task/*; do
        [ -r "$t/schedstat" ] || continue
        printf '%s %s %s\n' "${t##*/}" "$(tr ' ' '_' <"$t/comm")" "$(cut -d' ' -f1,2 "$t/schedstat")"
    done 2>/dev/null
}
# Adds what each thread name used between two snapshots to the totals file $3
# ("name cpu-ns delay-ns seconds").
thread_delta() {
    awk -v secs="$4" 'FNR == NR { on[$1] = $3; dl[$1] = $4; next }
        ($1 in on) { printf "%s %.0f %.0f %s\n", $2, $3 - on[$1], $4 - dl[$1], secs }' "$1" "$2" >>"$3"
}

# quarnel on the simulated FPGA at $1 bytes/s (0 = as fast as read);
# waits for its first discovery broadcast. Extra arguments go before it
# (a valgrind command line).
start_quarnel() {
    local r=$1
    shift
    mkdir -p "$XDG_CONFIG_HOME/talvenor"
    printf '[General]\nfirstTime=no\n' >"$XDG_CONFIG_HOME/talvenor/quarnel.conf"
    ZELK_FPGA=sim ZELK_SIM_HEADBOXES=1 ZELK_SIM_RATE=$r QT_QPA_PLATFORM=offscreen \
        "$@" "$quarnel" >"$work/quarnel.log" 2>&1 &
    qpid=$!
    "$here/pc.sh" "$client" discover --count 1 --timeout 120 >/dev/null
}
stop_quarnel() {
    kill -TERM "$qpid"
    wait "$qpid" || { echo "bench: quarnel ended with an error" >&2; exit 1; }
    qpid=
}

# Records with the pattern checked; sets rec_mb_s, rec_bytes, lat_* (ms),
# cpu_s_s (quarnel's CPU seconds per second meanwhile), client_s_s (the
# client's), rec_ok; adds quarnel's per-thread use to the file $1.
record() {
    local totals=$1 t0 c0 c1 t1 out=$work/record.out
    shift
    threads "$qpid" >"$work/threads.0"
    t0=$(now); c0=$(cputicks "$qpid")
    "$here/pc.sh" /usr/bin/time -o "$work/client.time" -f '%U %S' \
        "$client" record "$panel" --quiet --check "$@" >"$out" 2>&1 || true
    c1=$(cputicks "$qpid"); t1=$(now)
    threads "$qpid" >"$work/threads.1"
    thread_delta "$work/threads.0" "$work/threads.1" "$totals" "$(calc "$t1 - $t0" 3)"
    rec_bytes=$(awk '/^recorded/ { print $2 }' "$out")
    rec_mb_s=$(awk '/^recorded/ { print $(NF-1) }' "$out")
    rec_ok=$(grep -q ': good$' "$out" && echo yes || echo NO)
    lat_p50=$(sed -n 's/.* p50 \([0-9.]*\) ms.*/\1/p' "$out")
    lat_p99=$(sed -n 's/.* p99 \([0-9.]*\) ms.*/\1/p' "$out")
    lat_p999=$(sed -n 's/.* p99\.9 \([0-9.]*\) ms.*/\1/p' "$out")
    lat_max=$(sed -n 's/.* max \([0-9.]*\) ms.*/\1/p' "$out")
    cpu_s_s=$(calc "($c1 - $c0) / $ticks / ($t1 - $t0)")
    client_s_s=$(calc "$(awk '{ print $1 + $2 }' "$work/client.time") / ($t1 - $t0)")
    if [ "$rec_ok" != yes ]; then
        echo "bench: the recorded stream failed its check:" >&2
        cat "$out" >&2
        all_ok=NO
    fi
}

# A socat server on the panel's side sends `bytes` to a socat client, over the
# cable (veth: the client in the PC's namespace) or on loopback (lo). pipe:
# the server relays what `head` writes into a pipe (8 KiB blocks); pump: it
# sends /dev/zero itself in 256 KiB blocks. Sets sc_mb_s, sc_server_s_s and
# sc_client_s_s (CPU seconds per second of the two socat processes).
socat_run() {
    local bytes=$1 port=$2 kind=$3 path=$4 block=8192 host=$panel t0 t1 server
    local pc=("$here/pc.sh")
    if [ "$path" = lo ]; then
        host=127.0.0.1
        pc=()
    fi
    local timed=(/usr/bin/time -o "$work/server.time" -f '%U %S' socat -u)
    if [ "$kind" = pipe ]; then
        head -c "$bytes" /dev/zero |
            "${timed[@]}" STDIN "TCP-LISTEN:$port,bind=$host,reuseaddr" 2>/dev/null &
    else
        block=262144
        "${timed[@]}" -b "$block" "/dev/zero,readbytes=$bytes" \
            "TCP-LISTEN:$port,bind=$host,reuseaddr" 2>/dev/null &
    fi
    server=$!
    for _ in $(seq 200); do
        ss -Hltn "sport = :$port" | grep -q . && break
        sleep 0.01
    done
    t0=$(now)
    "${pc[@]}" /usr/bin/time -o "$work/client.time" -f '%U %S' \
        socat -u -b "$block" "TCP:$host:$port" /dev/null
    t1=$(now)
    wait "$server" 2>/dev/null || true
    sc_mb_s=$(calc "$bytes / ($t1 - $t0) / 1e6" 1)
    sc_server_s_s=$(calc "$(awk '{ print $1 + $2 }' "$work/server.time") / ($t1 - $t0)")
    sc_client_s_s=$(calc "$(awk '{ print $1 + $2 }' "$work/client.time") / ($t1 - $t0)")
}

all_ok=yes
declare -a loads idle_cpu idle_rss rtt_p50 rtt_p99 rtt_max
declare -a fast_mb fast_cpu fast_cl fast_hwm fast_p50 fast_p99 fast_p999 fast_max
declare -a sc_mb sc_srv sc_cl pump_mb pump_srv pump_cl lsc_mb lpump_mb
for lat in slow quarter; do
    for v in p50 p99 p999 max cpu cl hwm; do declare -a "${lat}_$v"; done
done
: >"$work/threads.slow"
: >"$work/threads.fast"

volume=0
for round in $(seq "$repeats"); do
    loads+=("$(load1)")
    echo "bench: round $round of $repeats (1-minute load ${loads[-1]})" >&2

    echo "bench:   quarnel idle (3 s), streaming $rate bytes/s (${lat_seconds} s), \"ok\" round trips" >&2
    start_quarnel "$rate"
    sleep 2
    c0=$(cputicks "$qpid"); t0=$(now)
    sleep 3
    idle_cpu+=("$(calc "($(cputicks "$qpid") - $c0) / $ticks / ($(now) - $t0)")")
    idle_rss+=("$(($(status_kb "$qpid" VmRSS) / 1024))")
    record "$work/threads.slow" --seconds "$lat_seconds" --setup 'clock 8'
    slow_p50+=("$lat_p50") slow_p99+=("$lat_p99") slow_p999+=("$lat_p999") slow_max+=("$lat_max")
    slow_cpu+=("$cpu_s_s") slow_cl+=("$client_s_s")
    slow_hwm+=("$(($(status_kb "$qpid" VmHWM) / 1024))")
    "$here/pc.sh" "$client" command "$panel" read 0 --repeat 1000 >"$work/rtt.out" 2>&1 || true
    rtt_p50+=("$(sed -n 's/.*p50 \([0-9.]*\) ms.*/\1/p' "$work/rtt.out" | tail -n1)")
    rtt_p99+=("$(sed -n 's/.*p99 \([0-9.]*\) ms.*/\1/p' "$work/rtt.out" | tail -n1)")
    rtt_max+=("$(sed -n 's/.*max \([0-9.]*\) ms.*/\1/p' "$work/rtt.out" | tail -n1)")
    stop_quarnel

    echo "bench:   streaming $slow_rate bytes/s (${lat_seconds} s)" >&2
    start_quarnel "$slow_rate"
    sleep 1
    record /dev/null --seconds "$lat_seconds" --setup 'clock 8'
    quarter_p50+=("$lat_p50") quarter_p99+=("$lat_p99") quarter_p999+=("$lat_p999") quarter_max+=("$lat_max")
    quarter_cpu+=("$cpu_s_s") quarter_cl+=("$client_s_s")
    quarter_hwm+=("$(($(status_kb "$qpid" VmHWM) / 1024))")
    stop_quarnel

    echo "bench:   full simulator speed (${seconds} s)" >&2
    start_quarnel 0
    sleep 1
    record "$work/threads.fast" --seconds "$seconds"
    fast_mb+=("$rec_mb_s") fast_cpu+=("$cpu_s_s") fast_cl+=("$client_s_s")
    fast_p50+=("$lat_p50") fast_p99+=("$lat_p99") fast_p999+=("$lat_p999") fast_max+=("$lat_max")
    fast_hwm+=("$(($(status_kb "$qpid" VmHWM) / 1024))")
    stop_quarnel
    volume=${rec_bytes:-100000000}

    echo "bench:   socat and the plain pump, $volume bytes each" >&2
    socat_run "$volume" 47001 pipe veth
    sc_mb+=("$sc_mb_s") sc_srv+=("$sc_server_s_s") sc_cl+=("$sc_client_s_s")
    socat_run "$volume" 47002 pump veth
    pump_mb+=("$sc_mb_s") pump_srv+=("$sc_server_s_s") pump_cl+=("$sc_client_s_s")
    socat_run "$volume" 47003 pipe lo
    lsc_mb+=("$sc_mb_s")
    socat_run "$volume" 47004 pump lo
    lpump_mb+=("$sc_mb_s")
done

cost_ok=skipped
if [ "$cost_mb" -gt 0 ] && command -v valgrind >/dev/null; then
    echo "bench: instructions per relayed byte: 4 MB, then $((cost_mb + 4)) MB at full speed under callgrind" >&2
    cg=$work/callgrind
    mkdir -p "$cg"
    # glibc copies large blocks with "rep movsb", which valgrind counts once
    # per byte: the tunables make it copy with vector loops, as an ARM core
    # copies with NEON, so that copies count what they cost.
    start_quarnel 0 env GLIBC_TUNABLES=glibc.cpu.x86_rep_movsb_threshold=2147483647:glibc.cpu.x86_rep_stosb_threshold=2147483647 \
        valgrind --tool=callgrind --separate-threads=yes --dump-instr=no \
        --callgrind-out-file="$cg/out.%p"
    # Two recordings, each counted on its own: their difference is what the
    # extra bytes cost, without start-up, connection, screen or set-up. A
    # first one, not counted, paints the screen's states for the first time.
    record /dev/null --bytes 1000000 --idle-timeout 60000 --connect-timeout 60000 --answer-timeout 60000
    callgrind_control -z "$qpid" >/dev/null
    cost_ok=yes
    for mb in 4 $((cost_mb + 4)); do
        record /dev/null --bytes $((mb * 1000000)) --idle-timeout 60000 \
            --connect-timeout 60000 --answer-timeout 60000
        [ "$rec_ok" = yes ] || cost_ok=NO
        callgrind_control --dump="${mb}MB" "$qpid" >/dev/null
    done
    stop_quarnel
    if [ -n "${QUARNEL_BENCH_CALLGRIND_DIR:-}" ]; then
        mkdir -p "$QUARNEL_BENCH_CALLGRIND_DIR"
        cp "$cg"/out.* "$QUARNEL_BENCH_CALLGRIND_DIR"/
    fi
fi

cpu_model=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
printf '\nMachine: %s x %s, %s\n' "$(nproc)" "${cpu_model:-unknown CPU}" "$(uname -sr)"
printf 'Niceness of the bench and what it started: %s; %s\n' "$(ps -o ni= -p $$ | tr -d ' ')" \
    "$(cat /proc/self/autogroup 2>/dev/null || echo 'no autogroups')"
if [ "$repeats" -gt 0 ]; then
    printf '1-minute load before each round: %s\n' "${loads[*]}"
    printf 'Rounds: %s; figures: median (lowest-highest). Volume at full speed: about %s MB per round.\n' \
        "$repeats" "$(calc "$volume / 1e6" 0)"
    printf 'Paced runs: %s s each; full speed %s s.\n\n' "$lat_seconds" "$seconds"
    fmt='%-52s %-34s %s\n'
    printf "$fmt" "Measure" "Value" "vs (3)"
    pm=$(median 1 "${pump_mb[@]}")
    printf "$fmt" "(1) headbox -> PC through quarnel, checked ($all_ok)" "$(fig 1 "${fast_mb[@]}") MB/s" \
        "$(calc "$(median 1 "${fast_mb[@]}") / $pm" 3)"
    printf "$fmt" "(2) socat, pipe -> PC over the cable" "$(fig 1 "${sc_mb[@]}") MB/s" \
        "$(calc "$(median 1 "${sc_mb[@]}") / $pm" 3)"
    printf "$fmt" "(3) plain TCP pump over the cable" "$(fig 1 "${pump_mb[@]}") MB/s" "1.000"
    printf "$fmt" "(2) socat, pipe -> client on loopback" "$(fig 1 "${lsc_mb[@]}") MB/s" ""
    printf "$fmt" "(3) plain TCP pump on loopback" "$(fig 1 "${lpump_mb[@]}") MB/s" ""
    printf "$fmt" "(1)/(2) quarnel against socat over the cable" \
        "$(calc "$(median 1 "${fast_mb[@]}") / $(median 1 "${sc_mb[@]}")" 2)" ""
    for lat in slow quarter fast; do
        label="at $(rate_label $lat)"
        for v in p50 p99 p999 max; do
            eval "vals=(\"\${${lat}_$v[@]}\")"
            printf "$fmt" "(4) latency $label, $v (ms)" "$(fig 3 "${vals[@]}")" ""
        done
    done
    printf "$fmt" "(5) \"ok\" round trip (read 0), p50 (ms)" "$(fig 3 "${rtt_p50[@]}")" ""
    printf "$fmt" "(5) \"ok\" round trip (read 0), p99 (ms)" "$(fig 3 "${rtt_p99[@]}")" ""
    printf "$fmt" "(5) \"ok\" round trip (read 0), max (ms)" "$(fig 3 "${rtt_max[@]}")" ""
    printf "$fmt" "(6) quarnel idle: CPU s/s" "$(fig 2 "${idle_cpu[@]}")" ""
    printf "$fmt" "(6) quarnel idle: RSS (MB)" "$(fig 0 "${idle_rss[@]}")" ""
    for lat in slow quarter fast; do
        label=$(rate_label $lat)
        eval "cpu=(\"\${${lat}_cpu[@]}\") cl=(\"\${${lat}_cl[@]}\") hwm=(\"\${${lat}_hwm[@]}\")"
        printf "$fmt" "(6) $label: CPU s/s quarnel | checking client" "$(fig 2 "${cpu[@]}") | $(fig 2 "${cl[@]}")" ""
        printf "$fmt" "(6) $label: quarnel's peak RSS (MB)" "$(fig 0 "${hwm[@]}")" ""
    done
    printf "$fmt" "(6) socat over the cable: CPU s/s sender | client" "$(fig 2 "${sc_srv[@]}") | $(fig 2 "${sc_cl[@]}")" ""
    printf "$fmt" "(6) pump over the cable: CPU s/s sender | client" "$(fig 2 "${pump_srv[@]}") | $(fig 2 "${pump_cl[@]}")" ""

    for lat in slow fast; do
        [ "$lat" = slow ] && label="$(calc "$rate / 1e6" 1) MB/s" || label="full speed"
        printf '\n(7) quarnel per thread at %s, all rounds: CPU s/s, waiting for a core (ms/s)\n' "$label"
        awk 'BEGIN { known["quarnel"] = "GUI"; known["dxusb_read_rout"] = "library-reader"
                     known["InterfaceReader"] = "relay-thread"; known["HeadboxChecker"] = "presence-checker" }
            { n = $1 in known ? known[$1] : $1; cpu[n] += $2; dl[n] += $3
              if (!((n, $4) in seen)) { seen[n, $4] = 1; s[n] += $4 } }
            END { for (n in cpu) if (cpu[n] > 1e6 || dl[n] > 1e6)
                  printf "    %-18s %6.2f %8.1f\n", n, cpu[n] / 1e9 / s[n], dl[n] / 1e6 / s[n] }' \
            "$work/threads.$lat" | sort
    done
fi

if [ "$cost_ok" != skipped ]; then
    printf '\n(8) instructions per relayed byte at full speed, per thread (callgrind, %s MB more, %s)\n' \
        "$cost_mb" "$cost_ok"
    # Per dump (1: the short recording, 2: the long one) and thread: the
    # thread is known by the loop it runs; thread 1 is the GUI thread.
    for f in "$cg"/out.*.[12]-*; do
        name=other
        case ${f##*-} in 01) name=GUI ;; esac
        grep -q 'dxusb_read_routine::run' "$f" && name=library-reader
        grep -q 'InterfaceReader::run' "$f" && name=relay-thread
        part=${f##*.}
        printf '%s %s %s\n' "${part%%-*}" "$name" "$(awk '/^(summary|totals):/ { print $2; exit }' "$f")"
    done | awk -v b="$((cost_mb * 1000000))" '{ d = ($1 == 2 ? 1 : -1) * $3; ir[$2] += d; t += d }
        END { for (k in ir) if (k != "other" || ir[k] > b / 10) printf "    %-18s %8.2f\n", k, ir[k] / b
              printf "    %-18s %8.2f\n", "all-threads", t / b }' | sort
fi
cat <<'NOTES'

(1) and (2)/(3) "over the cable" cross the harness's veth pair into the PC's
namespace; the loopback lines stay in the panel's. (4) is measured from the
simulated FIFO's time stamp to the PC's read. (5): the maximum is often the
first command of the connection, which waits until the presence check under
way has ended. (6) CPU s/s over the whole client run; the checking client
shares the two cores. (7) "waiting for a core" is the time a thread was
runnable but not running. (8) counts user-space instructions only.
NOTES
[ "$all_ok" = yes ]
