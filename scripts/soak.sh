#!/usr/bin/env bash
# Soak figures, printed as a table: the real program on the simulated FPGA
# (one headbox streaming as fast as it is read) and PCs across the harness's
# cable, for much longer than any test runs.
#   - the command scanner fuzzed (10 million inputs of up to 1 KiB),
#     alongside the rest;
#   - headbox -> PC for 10 minutes (--minutes), every byte checked, with the
#     program's RSS sampled every second: peak, and growth over the last 8
#     minutes (target: under 2 MB);
#   - 1000 connect / exam / disconnect cycles, each exam checked, its first
#     words fresh (nothing of the exam before);
#   - 100 cables pulled in the middle of an exam, each followed by an exam
#     checked the same way;
#   - a PC that sends only commands and never reads the answer port, and one
#     that stops reading the data port, for a minute each: RSS, and whether
#     the terminal serves the next PC;
#   - at the end, SIGTERM: the program ends with status 0.
#
#   scripts/soak.sh [--quick] [--minutes M] [BUILD_DIR]   (default build/)
# --quick: a few minutes in all (short stream, fewer cycles, 10 s stalls),
# to check the script itself. Runs in its own harness; not part of the test
# command. Exits non-zero when any check fails.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
quick=0
minutes=10
build=
while [ $# -gt 0 ]; do
    case $1 in
    --quick) quick=1 ;;
    --minutes) minutes=${2:?--minutes needs a number}; shift ;;
    -*) echo "soak: unknown option $1" >&2; exit 2 ;;
    *) build=$1 ;;
    esac
    shift
done
[[ $minutes =~ ^[1-9][0-9]*$ ]] || { echo "soak: --minutes must be a whole number of minutes" >&2; exit 2; }
if ! "$here/harness.sh" --inside 2>/dev/null; then
    build=$(cd "${build:-$here/../build}" && pwd)
    args=(--minutes "$minutes")
    [ "$quick" = 1 ] && args+=(--quick)
    exec "$here/harness.sh" "$here/soak.sh" "${args[@]}" "$build"
fi

quarnel=$build/quarnel/quarnel
client=$build/tools/quarnelclient/quarnelclient
panel=$QUARNEL_PANEL_IP
work=$QUARNEL_HARNESS_DIR/soak
mkdir -p "$work"
if [ "$quick" = 1 ]; then
    stream_s=30 window_s=20 fuzz_runs=200000 cycles=10 pulls=2 stall_s=10
else
    stream_s=$((minutes * 60)) window_s=480 fuzz_runs=10000000 cycles=1000 pulls=100 stall_s=60
    [ "$stream_s" -gt 600 ] || stream_s=600
fi
fuzz_len=1024
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

qpid='' fpid='' spid='' bgpid=''
finish() {
    local p
    for p in $bgpid $spid $fpid $qpid; do
        kill "$p" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap finish EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.${2:-1}f\", $1 }"; }
rss_kb() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$qpid/status" 2>/dev/null || echo 0; }
pc() { "$here/pc.sh" "$@"; }
say() { echo "soak: $*" >&2; }
failures=0
fail() { say "FAILED: $*"; failures=$((failures + 1)); }

# Polls (every 0.1 s) until the command succeeds; false after $1 seconds.
wait_for() {
    local end=$((${EPOCHREALTIME%.*} + $1))
    shift
    until "$@"; do
        [ "${EPOCHREALTIME%.*}" -lt "$end" ] || return 1
        sleep 0.1
    done
}
# The panel's side of the PC connections, as the kernel sees them.
connected() { ss -Htn state established "( sport = :$1 )" | grep -q .; }
not_connected() { ! connected "$1"; }
data_acked() {
    ss -Htni state established '( sport = :2000 )' | grep -o 'bytes_acked:[0-9]*' | head -n1 | cut -d: -f2
}
acked_over() { [ "$(data_acked || echo 0)" -gt "${1}" ] 2>/dev/null; }

# RSS at every whole second into a file ("seconds kB"), until killed; read
# with the shell's builtins, so that a loaded machine delays no sample.
sample_rss() {
    local t0=${EPOCHREALTIME%.*} key value rss gap
    while [ -e "/proc/$qpid/status" ]; do
        rss=0
        while read -r key value _; do
            if [ "$key" = VmRSS: ]; then
                rss=$value
                break
            fi
        done <"/proc/$qpid/status"
        echo "$((${EPOCHREALTIME%.*} - t0)) $rss"
        printf -v gap '0.%06d' $((1000000 - 10#${EPOCHREALTIME#*.}))
        sleep "$gap"
    done
}
start_sampler() { sample_rss >"$1" & spid=$!; }
stop_sampler() { kill "$spid" 2>/dev/null || true; wait "$spid" 2>/dev/null || true; spid=; }
peak_kb() { awk 'BEGIN { m = 0 } $2 > m { m = $2 } END { print m }' "$1"; }

# One exam of the given size, every byte checked; true when good. Good
# means fresh too: its first byte is the first of the stream its own sync on
# started, not a word of an earlier exam (the check counts any bytes ahead of
# the stream start).
exam() {
    pc "$client" record "$panel" --bytes "$1" --check --quiet >"$work/exam.out" 2>&1 &&
        grep -q ': good$' "$work/exam.out" &&
        ! grep -q 'bytes before the stream start' "$work/exam.out"
}

# Binary terminal frames, as quarnelclient prints them in hexadecimal.
frames() {
    local hex
    hex=$("$client" frame "$@" | sed 's/  .*//' | tr '\n' ' ')
    # shellcheck disable=SC2086
    # shellcheck disable=SC2059
    printf "$(printf '\\x%s' $hex)"
}

# Inputs up to 1 KiB: ten million of them in about an hour on two busy
# cores (the test command's runs reach whole 64 KiB frames).
say "fuzzing the command scanner ($fuzz_runs inputs of up to $fuzz_len bytes) alongside the rest"
QUARNEL_FUZZ_RUNS=$fuzz_runs QUARNEL_FUZZ_MAX_LEN=$fuzz_len \
    "$here/../quarnel/relay/fuzz/run-fuzz.sh" --required 14400 >"$work/fuzz.out" 2>&1 &
fpid=$!

mkdir -p "$XDG_CONFIG_HOME/talvenor"
printf '[General]\nfirstTime=no\n' >"$XDG_CONFIG_HOME/talvenor/quarnel.conf"
ZELK_FPGA=sim ZELK_SIM_HEADBOXES=1 ZELK_SIM_RATE=0 QT_QPA_PLATFORM=offscreen \
    "$quarnel" >"$work/quarnel.log" 2>&1 &
qpid=$!
pc "$client" discover --count 1 --timeout 60 >/dev/null || { say "quarnel did not come up"; exit 1; }
rss_start=$(rss_kb)

# 1. The long stream.
say "streaming headbox -> PC for $stream_s s, every byte checked, RSS every second"
start_sampler "$work/rss-stream.log"
t0=$(now)
pc "$client" record "$panel" --seconds "$stream_s" --check --quiet >"$work/stream.out" 2>&1 || true
stream_t=$(calc "$(now) - $t0" 0)
stop_sampler
stream_bytes=$(awk '/^recorded/ { print $2 }' "$work/stream.out")
stream_bytes=${stream_bytes:-0}
stream_mb_s=$(awk '/^recorded/ { print $(NF-1) }' "$work/stream.out")
stream_ok=$(grep -q ': good$' "$work/stream.out" && echo good || echo FAILED)
[ "$stream_ok" = good ] || fail "the stream: $(tail -n3 "$work/stream.out" | tr '\n' ' ')"
stream_gb=$(calc "$stream_bytes / 1e9" 2)
[ "$quick" = 1 ] || [ "$stream_bytes" -ge 1000000000 ] || fail "less than 1 GB streamed"
stream_peak=$(peak_kb "$work/rss-stream.log")
# Growth: the last sample against the one $window_s seconds before it.
read -r growth_kb window_real < <(awk -v w="$window_s" '
    { t[NR] = $1; r[NR] = $2 }
    END {
        last = NR; first = last
        while (first > 1 && t[last] - t[first - 1] <= w) first--
        print r[last] - r[first], t[last] - t[first]
    }' "$work/rss-stream.log")
growth_ok=$([ "$growth_kb" -lt 2048 ] && echo yes || echo NO)
# A quick run's window still holds the start's growth: reported, not judged.
[ "$growth_ok" = yes ] || [ "$quick" = 1 ] || fail "RSS grew by $growth_kb kB over the last $window_real s"
samples=$(wc -l <"$work/rss-stream.log")

# 2. Many short exams.
say "$cycles connect / exam / disconnect cycles"
good_cycles=0
t0=$(now)
for _ in $(seq "$cycles"); do
    if exam 256k; then
        good_cycles=$((good_cycles + 1))
    elif [ ! -e "$work/cycle-failure.out" ]; then
        cp "$work/exam.out" "$work/cycle-failure.out"
    fi
done
cycles_t=$(calc "$(now) - $t0" 0)
[ "$good_cycles" = "$cycles" ] || fail "cycles: $((cycles - good_cycles)) exams failed; first: $(tr '\n' ' ' <"$work/cycle-failure.out")"

# 3. Cables pulled in the middle of an exam.
say "$pulls cables pulled mid-exam, each followed by an exam"
good_pulls=0
t0=$(now)
for i in $(seq "$pulls"); do
    pc "$client" record "$panel" --seconds 600 --check --quiet --idle-timeout 600000 \
        >"$work/pulled.out" 2>&1 &
    bgpid=$!
    # Mid-exam: the PC has taken a megabyte of the stream.
    started=yes
    if ! wait_for 60 acked_over 1000000; then
        started=no
        fail "pull $i: the exam did not start: $(tr '\n' ' ' <"$work/pulled.out")"
    fi
    pc ip link set pc0 down
    wait_for 60 not_connected 2000 || fail "pull $i: the exam did not end"
    kill "$bgpid" 2>/dev/null || true
    wait "$bgpid" 2>/dev/null || true
    bgpid=
    pc ip link set pc0 up
    # Ready again once it broadcasts (only while no PC is connected).
    if pc "$client" discover --count 1 --timeout 60 >/dev/null && exam 1M; then
        [ "$started" = no ] || good_pulls=$((good_pulls + 1))
    else
        fail "pull $i: no exam afterwards: $(tr '\n' ' ' <"$work/exam.out")"
    fi
done
pulls_t=$(calc "$(now) - $t0" 0)

# 4. A PC that sends only commands and never reads its answers.
say "a PC sends only commands for $stall_s s and never reads port 2001"
# shellcheck disable=SC2046
frames $(printf 'read 0 %.0s' $(seq 8192)) >"$work/commands.bin"
rss_before_answer=$(rss_kb)
start_sampler "$work/rss-answer.log"
# shellcheck disable=SC2016
pc bash -c '
    exec 3<>"/dev/tcp/$1/2001" 4<>"/dev/tcp/$1/2000" || exit 1
    n=0
    end=$((SECONDS + $2))
    while [ "$SECONDS" -lt "$end" ] && cat "$3" >&4; do
        n=$((n + 1))
    done
    echo $((n * 8192))' _ "$panel" "$stall_s" "$work/commands.bin" >"$work/answer.out" 2>&1 &
bgpid=$!
t0=$(now)
wait_for 10 connected 2001 || true
if wait_for "$stall_s" not_connected 2001; then
    answer_closed="closed after $(calc "$(now) - $t0" 0) s"
else
    answer_closed="NOT closed"
    fail "the answer port of a PC that never reads it stayed open"
fi
wait "$bgpid" || true
bgpid=
stop_sampler
commands_sent=$(tail -n1 "$work/answer.out")
answer_peak=$(peak_kb "$work/rss-answer.log")
wait_for 30 not_connected 2000 || true
answer_next=$(exam 10M && echo good || echo FAILED)
[ "$answer_next" = good ] || fail "no exam after the PC that never read its answers"

# 5. A PC that stops reading the data port.
say "a PC switches the stream on and stops reading port 2000 for $stall_s s"
frames sync on >"$work/sync.bin"
rss_before_data=$(rss_kb)
start_sampler "$work/rss-data.log"
# shellcheck disable=SC2016
pc bash -c '
    exec 3<>"/dev/tcp/$1/2001" 4<>"/dev/tcp/$1/2000" || exit 1
    cat "$3" >&4
    sleep "$2"' _ "$panel" "$stall_s" "$work/sync.bin" >/dev/null 2>&1 || fail "the stalled PC could not connect"
stop_sampler
data_peak=$(peak_kb "$work/rss-data.log")
wait_for 30 not_connected 2000 || true
data_next=$(exam 10M && echo good || echo FAILED)
[ "$data_next" = good ] || fail "no exam after the PC that stopped reading"

rss_end=$(rss_kb)
say "waiting for the fuzzer"
fuzz_status=0
wait "$fpid" || fuzz_status=$?
fpid=
# The figures of the run's end (the corpus load reports its own first).
fuzz_runs_done=$(awk '/^stat::number_of_executed_units/ { n = $2 } END { print n }' "$work/fuzz.out")
fuzz_t=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$work/fuzz.out" | tail -n1)
if [ "$fuzz_status" = 0 ] && grep -q '^fuzz: no finding' "$work/fuzz.out"; then
    fuzz_result="0 findings"
else
    fuzz_result="FINDING (see build-fuzz/)"
    fail "the fuzzer: $(tail -n2 "$work/fuzz.out" | tr '\n' ' ')"
fi
[ "${fuzz_runs_done:-0}" -ge "$fuzz_runs" ] || fail "the fuzzer ran ${fuzz_runs_done:-0} inputs"

kill -TERM "$qpid"
end_status=0
wait "$qpid" || end_status=$?
qpid=
[ "$end_status" = 0 ] || fail "quarnel ended with status $end_status"

mb() { calc "$1 / 1024" 1; }
cpu_model=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
printf '\nMachine: %s x %s, %s; load average %s at the start, %s at the end\n' \
    "$(nproc)" "${cpu_model:-unknown CPU}" "$(uname -sr)" "$load_start" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'Mode: %s; the fuzzer ran alongside the other checks\n\n' \
    "$([ "$quick" = 1 ] && echo "quick (not the soak's figures)" || echo full)"
row() { printf '%-44s %-30s %8s  %s\n' "$@"; }
row "Check" "Volume" "Time" "Result"
row "fuzz: command scanner and frame decoder" "${fuzz_runs_done:-0} inputs (<= $fuzz_len B)" "${fuzz_t:-?} s" "$fuzz_result"
row "headbox -> PC, every byte checked" "$stream_gb GB at $stream_mb_s MB/s" "$stream_t s" "$stream_ok"
row "  RSS meanwhile, $samples samples (1/s)" "peak $(mb "$stream_peak") MB" "" \
    "growth over the last $window_real s: $growth_kb kB (< 2 MB: $growth_ok)"
row "connect / exam (256 kB checked, fresh) / close" "$cycles cycles" "$cycles_t s" "$good_cycles good"
row "cable pulled mid-exam, then a fresh exam (1 MB)" "$pulls pulls" "$pulls_t s" "$good_pulls good"
row "PC never reads 2001, sends only commands" "${commands_sent:-?} commands sent" "$stall_s s" \
    "answer port $answer_closed; RSS $(mb "$rss_before_answer") -> peak $(mb "$answer_peak") MB; next exam $answer_next"
row "PC stops reading 2000 (stream on)" "" "$stall_s s" \
    "RSS $(mb "$rss_before_data") -> peak $(mb "$data_peak") MB; next exam $data_next"
row "quarnel over the whole run" "" "" \
    "RSS $(mb "$rss_start") MB at the start, $(mb "$rss_end") MB at the end; SIGTERM: status $end_status"
[ "$failures" = 0 ]
