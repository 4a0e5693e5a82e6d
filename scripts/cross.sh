#!/usr/bin/env bash
# The panel as target: installs what the armhf cross build needs (Debian's
# packages only; idempotent), cross-builds warning-free, makes the armhf
# Debian package and checks what it contains, then runs the armhf test
# binaries under qemu-user with the simulated FPGA.
#
#   scripts/cross.sh [--build-dir DIR] [--jobs N] [--heavy] [--no-tests] [--no-package]
#
#   --build-dir DIR   default build-armhf/ next to build/
#   --jobs N          parallel compile jobs (default 2)
#   --heavy           also the tests labelled heavy (large data volumes)
#
# Under qemu-user (Debian 12's 7.2) a program cannot start child processes:
# the emulator refuses the clone flags Qt's QProcess uses, and QProcess then
# acts on a bogus process id, up to signalling every process it may (kill
# with -1). So every emulated test runs in a PID namespace of its own, where
# such a signal reaches nothing outside, and the test functions that start
# programs or shell commands are left out (the list below); everything
# else, network tests in the harness included, runs as in the native suite.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

build="$root/build-armhf"
jobs=2
heavy=0
run_tests=1
make_package=1
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --heavy) heavy=1; shift ;;
    --no-tests) run_tests=0; shift ;;
    --no-package) make_package=0; shift ;;
    *) sed -n '2,12p' "$0" >&2; exit 2 ;;
    esac
done
build=$(mkdir -p "$build" && cd "$build" && pwd)

# Whole test programs left out under emulation: each starts programs
# (the terminal, the client, the register tool, scripts) as its subject.
skip_programs=(tst_startup tst_harness tst_quarnelclient tst_zelkreg tst_system)
# Test functions left out: each starts a child process (a probe, the image
# generator, "sudo", "sh", "ip" or "nsenter" through the PC-side helpers).
declare -A skip_functions=(
    [tst_dxusb]="devmemUnopenableExitsWithStatus1 devmemFailedMappingIsSafe devmemUnmapsAtTheEnd backendSelection"
    [tst_orvinterfacezelk]="resetInterfaceReboots"
    [tst_networkcabledetector]="cablePulledAndPluggedReportedOnceEach everyNonLoopbackAddressReportedInListOrder loopbackAloneNeverReportedAndAddressRetried missingInterfaceGivesNoAddressOrCableReports"
    [tst_broadcasts]="datagramsLeaveFromNewAddressAfterUserChange"
    [tst_quarnelnetwork]="userChangeIpWithoutRelay userChangeIpWithoutPcLeavesLinkToChecker userChangeIpDisconnectsPcFirstThenRebinds"
    [tst_exam]="cablePulledDuringExam"
    [tst_maingui]="imagesAreReproducible"
)

stamp() { date +%s; }
took() { echo "$(( $(stamp) - $1 )) s"; }

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

echo "== packages for the armhf build"
t0=$(stamp)
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    "${as_root[@]}" dpkg --add-architecture armhf
    added_arch=1
fi
packages=(crossbuild-essential-armhf qemu-user qtbase5-dev:armhf dpkg-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${added_arch:-}" ]; then
    echo "cross: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -qq
    [ ${#missing[@]} -eq 0 ] || "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "packages: $(took "$t0")"

echo "== cross build in $build"
t0=$(stamp)
cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armhf-debian.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$build" --parallel "$jobs" -- --no-print-directory > "$build/cross-build.log" 2>&1 || {
    grep -E 'error|warning' "$build/cross-build.log" | head -40 >&2
    echo "cross: the armhf build failed, see $build/cross-build.log" >&2
    exit 1
}
if grep -q 'warning:' "$build/cross-build.log"; then
    grep 'warning:' "$build/cross-build.log" >&2
    echo "cross: the armhf build is not free of warnings" >&2
    exit 1
fi
echo "build: $(took "$t0")"

if [ "$make_package" = 1 ]; then
    echo "== armhf package"
    t0=$(stamp)
    rm -f "$build"/quarnel_*_armhf.deb
    (cd "$build" && cpack -G DEB > "$build/cross-cpack.log" 2>&1) || {
        cat "$build/cross-cpack.log" >&2
        exit 1
    }
    deb=$(ls "$build"/quarnel_*_armhf.deb)
    "$root/packaging/tests/package_test.sh" contents "$deb" armhf > "$build/cross-package.log"
    echo "$deb"
    echo "package: $(took "$t0")"
fi

[ "$run_tests" = 1 ] || exit 0

echo "== armhf tests under qemu-arm (ZELK_FPGA=sim)"
t0=$(stamp)
# Each test's command line and environment as ctest would run it.
tests_file="$build/cross-tests.txt"
(cd "$build" && ctest --show-only=json-v1) | python3 -c '
import json, sys
for t in json.load(sys.stdin)["tests"]:
    props = {p["name"]: p["value"] for p in t.get("properties", [])}
    labels = props.get("LABELS", [])
    env = props.get("ENVIRONMENT", [])
    print("\x1e".join([t["name"], ",".join(labels), props.get("WORKING_DIRECTORY", ""),
                       "\x1f".join(env), "\x1f".join(t["command"])]))
' > "$tests_file"

failed=()
passed=0
while IFS=$'\x1e' read -r name labels workdir envs command; do
    [[ " ${skip_programs[*]} " == *" $name "* ]] && { echo "skip   $name (starts programs)"; continue; }
    if [ "$heavy" = 0 ] && [[ ",$labels," == *",heavy,"* ]]; then
        echo "skip   $name (heavy)"
        continue
    fi
    IFS=$'\x1f' read -r -a cmd <<<"$command"
    IFS=$'\x1f' read -r -a env_list <<<"$envs"
    env_list+=(ZELK_FPGA=sim)
    selection=()
    if [ -n "${skip_functions[$name]:-}" ]; then
        # The binary is the last word of the command; ask it for its functions.
        binary=${cmd[${#cmd[@]}-1]}
        for f in $(env "${env_list[@]}" qemu-arm "$binary" -functions 2>/dev/null | sed -n 's/()$//p'); do
            [[ " ${skip_functions[$name]} " == *" $f "* ]] || selection+=("$f")
        done
    fi
    ts=$(stamp)
    log="$build/Testing/cross-$name.log"
    mkdir -p "$build/Testing"
    set +e
    (cd "${workdir:-$build}" && timeout 900 unshare --pid --fork --kill-child --mount-proc \
        env "${env_list[@]}" "${cmd[@]}" "${selection[@]}") > "$log" 2>&1
    status=$?
    set -e
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        echo "pass   $name ($(took "$ts"))${skip_functions[$name]:+, without: ${skip_functions[$name]}}"
    else
        failed+=("$name")
        echo "FAIL   $name (status $status, $(took "$ts")): $log"
        grep -E '^(FAIL!|QFATAL)|Loc: ' "$log" | head -10 | sed 's/^/         /'
    fi
done < "$tests_file"
echo "tests: $(took "$t0"); $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ] || { echo "cross: failed under emulation: ${failed[*]}" >&2; exit 1; }
