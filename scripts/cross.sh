#!/usr/bin/env bash
# The panel as target: installs what the armhf cross build needs (Debian's
# packages only; idempotent), cross-builds warning-free, makes the armhf
# Debian package and checks what it contains and what lintian says of it,
# then runs the armhf test binaries under qemu-user with the simulated FPGA.
#
#   scripts/cross.sh [--build-dir DIR] [--jobs N] [--heavy] [--no-tests] [--no-package] [--subset]
#
#   --build-dir DIR   default build-armhf/ next to build/
#   --jobs N          parallel compile jobs (default 2)
#   --heavy           also the tests labelled heavy (large data volumes); the
#                     paced rows of tst_stream_heavy need more speed than the
#                     emulator has and lose words there
#   --subset          what the test command runs in CI's time budget: builds
#                     and runs under emulation the library's tests and the
#                     status record's (no program, no package)
#
# Under qemu-user (Debian 12's 7.2) Qt's QProcess cannot start children as
# it stands: the guest's probe for pidfd support reaches the host kernel,
# which has it, but the emulator refuses clone(CLONE_PIDFD); QProcess then
# acts on a bogus process id, up to signalling every process it may (kill
# with -1). So every emulated test runs
#   - in a PID namespace of its own, where such a signal reaches nothing
#     outside;
#   - under scripts/cross/noforkfd, which makes the pidfd probe fail, so Qt
#     starts children with a plain fork that the emulator handles;
#   - where the kernel allows it (Linux 6.7 and later), in a user namespace
#     with a binfmt_misc instance of its own that hands ARM programs to
#     qemu-arm, so tests can start the armhf program, tools and probes.
# Without that last one, the tests and test functions listed below (they
# start armhf programs) are left out.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

build="$root/build-armhf"
jobs=2
heavy=0
run_tests=1
make_package=1
subset=0
# Word order, 64-bit register access and the 24-byte record on the target.
subset_tests=(tst_circular_queue tst_dxusb tst_dxusb_read_routine tst_zelk_interface_dll
              tst_fpgasim tst_streampattern tst_stream tst_statusrecord)
subset_targets=("${subset_tests[@]}")
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --heavy) heavy=1; shift ;;
    --no-tests) run_tests=0; shift ;;
    --no-package) make_package=0; shift ;;
    --subset) subset=1; make_package=0; shift ;;
    *) sed -n '2,18p' "$0" >&2; exit 2 ;;
    esac
done
build=$(mkdir -p "$build" && cd "$build" && pwd)

# Left out only where ARM programs cannot be started (no private binfmt_misc).
# Whole test programs: each starts programs (the terminal, the client, the
# register tool, scripts) as its subject.
skip_programs=(tst_startup tst_harness tst_quarnelclient tst_zelkreg tst_system tst_e2e_pclibrary)
# Test functions: each starts a child process (a probe, the image generator,
# the test program itself, or a shell through the PC-side helpers).
declare -A skip_functions=(
    [tst_dxusb]="devmemUnopenableExitsWithStatus1 devmemFailedMappingIsSafe devmemUnmapsAtTheEnd backendSelection"
    [tst_orvinterfacezelk]="resetInterfaceReboots"
    [tst_networkcabledetector]="cablePulledAndPluggedReportedOnceEach everyNonLoopbackAddressReportedInListOrder loopbackAloneNeverReportedAndAddressRetried missingInterfaceGivesNoAddressOrCableReports"
    [tst_broadcasts]="datagramsLeaveFromNewAddressAfterUserChange"
    [tst_quarnelnetwork]="userChangeIpWithoutRelay userChangeIpWithoutPcLeavesLinkToChecker userChangeIpDisconnectsPcFirstThenRebinds"
    [tst_exam]="cablePulledDuringExam"
    [tst_maingui]="imagesAreReproducible"
)

# Left out under emulation always.
declare -A skip_emulated=()

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
packages=(crossbuild-essential-armhf qemu-user qtbase5-dev:armhf dpkg-dev help2man lintian)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${added_arch:-}" ]; then
    echo "cross: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! "${as_root[@]}" apt-get update -qq; then
        # The machine's package sources may not carry armhf: leave the
        # machine as it was rather than with an update that keeps failing.
        if [ -n "${added_arch:-}" ]; then
            "${as_root[@]}" dpkg --remove-architecture armhf
            "${as_root[@]}" apt-get update -qq || true
            echo "cross: apt-get update failed with the armhf architecture added;" \
                 "armhf was removed again (dpkg --remove-architecture armhf)" >&2
        fi
        echo "cross: apt-get update failed; the armhf build needs Debian's armhf packages" >&2
        exit 1
    fi
    # Never removes a package of the machine to make room for these.
    [ ${#missing[@]} -eq 0 ] ||
        "${as_root[@]}" apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}" >/dev/null
fi
echo "packages: $(took "$t0")"

echo "== cross build in $build"
t0=$(stamp)
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armhf-debian.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
targets=()
if [ "$subset" = 1 ]; then
    for t in "${subset_targets[@]}"; do targets+=(--target "$t"); done
fi
cmake --build "$build" --parallel "$jobs" "${targets[@]}" > "$build/cross-build.log" 2>&1 || {
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
    "$root/packaging/tests/package_test.sh" lintian "$deb" >> "$build/cross-package.log" || {
        tail -n 20 "$build/cross-package.log" >&2
        exit 1
    }
    echo "$deb"
    echo "package: $(took "$t0")"
fi

[ "$run_tests" = 1 ] || exit 0

echo "== armhf tests under qemu-arm (ZELK_FPGA=sim)"
t0=$(stamp)
cc -O2 -Wall -Wextra -Werror -o "$build/noforkfd" "$root/scripts/cross/noforkfd.c"
# ARM ELF executables (little-endian, 32-bit, e_machine 40) go to qemu-arm;
# "F" opens the emulator now, so it is found in any mount namespace.
binfmt_rule=':qemu-arm:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-arm:F'
if unshare --user --map-root-user --mount sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null; then
    children=1
    skip_programs=()
    skip_functions=()
    echo "armhf programs started by tests run under qemu-arm too (private binfmt_misc)"
else
    children=0
    echo "no private binfmt_misc on this kernel: tests that start armhf programs are left out"
fi

# What every test command runs under, as described at the top.
if [ "$children" = 1 ]; then
    contained=(unshare --user --map-root-user --pid --fork --kill-child --mount-proc sh -c '
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
        printf "%s" "$0" > /proc/sys/fs/binfmt_misc/register && exec "$@"' "$binfmt_rule" "$build/noforkfd")
else
    contained=(unshare --pid --fork --kill-child --mount-proc "$build/noforkfd")
fi

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
    if [ "$subset" = 1 ] && [[ " ${subset_tests[*]} " != *" $name "* ]]; then
        continue
    fi
    [[ " ${skip_programs[*]:-} " == *" $name "* ]] && { echo "skip   $name (starts programs)"; continue; }
    if [ "$heavy" = 0 ] && [[ ",$labels," == *",heavy,"* ]]; then
        echo "skip   $name (heavy)"
        continue
    fi
    IFS=$'\x1f' read -r -a cmd <<<"$command"
    IFS=$'\x1f' read -r -a env_list <<<"$envs"
    env_list+=(ZELK_FPGA=sim)
    selection=()
    skipped="${skip_functions[$name]:-} ${skip_emulated[$name]:-}"
    skipped=$(echo $skipped)
    if [ -n "$skipped" ]; then
        # The binary is the last word of the command; ask it for its functions.
        binary=${cmd[${#cmd[@]}-1]}
        for f in $(env "${env_list[@]}" qemu-arm "$binary" -functions 2>/dev/null | sed -n 's/()$//p'); do
            [[ " $skipped " == *" $f "* ]] || selection+=("$f")
        done
    fi
    ts=$(stamp)
    log="$build/Testing/cross-$name.log"
    mkdir -p "$build/Testing"
    set +e
    (cd "${workdir:-$build}" && timeout 900 "${contained[@]}" env "${env_list[@]}" "${cmd[@]}" "${selection[@]}") > "$log" 2>&1
    status=$?
    set -e
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        echo "pass   $name ($(took "$ts"))${skipped:+, without: $skipped}"
    else
        failed+=("$name")
        echo "FAIL   $name (status $status, $(took "$ts")): $log"
        grep -E '^(FAIL!|QFATAL)|Loc: ' "$log" | head -10 | sed 's/^/         /'
    fi
done < "$tests_file"
echo "tests: $(took "$t0"); $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ] || { echo "cross: failed under emulation: ${failed[*]}" >&2; exit 1; }
