#!/usr/bin/env bash
# Checks of the Debian packages.
#
#   package_test.sh contents DEB ARCH    what dpkg-deb lists: control fields,
#                                        maintainer scripts, files, ELF
#                                        machine, SONAME, no build paths
#   package_test.sh install DEB          inside scripts/harness.sh only:
#                                        install on a throw-away overlay of
#                                        the root filesystem, check the unit,
#                                        run the installed program as the unit
#                                        would (simulated FPGA), stop it with
#                                        SIGTERM, purge, check nothing is left
#   package_test.sh lintian DEB...       Debian's lintian finds no error or
#                                        warning a package does not override;
#                                        each changelog names its version
#   package_test.sh pc-contents DEB...   the PC packages (libquarnelpc1,
#   package_test.sh pc-install DEB...    libquarnelpc-dev, quarnelclient,
#                                        python3-quarnelpc): their contents;
#                                        installed (in the harness only), the
#                                        examples built, the module imported,
#                                        purged
#   package_test.sh host BUILD_DIR       all of these, on the packages cpack
#                                        makes now from BUILD_DIR (inside the
#                                        harness), the PC packages as the
#                                        README says (target pc_packages); the
#                                        PC packages are also installed, built
#                                        against and purged, and the example
#                                        built against the build tree
set -euo pipefail
harness=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/harness.sh
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }

# Mounts come off before any folder is removed, and removal never leaves the
# folder's own file system.
overlay_top=
temp_dirs=()
cleanup() {
    [ -z "$overlay_top" ] || umount -R -l "$overlay_top" 2>/dev/null || true
    local d
    for d in "${temp_dirs[@]}"; do rm -rf --one-file-system "$d"; done
}
trap cleanup EXIT
note() { echo "-- [${SECONDS} s] $*"; }

expect_line() {   # text pattern what
    grep -Eq -- "$2" <<<"$1" || fail "$3: no line matching '$2' in:"$'\n'"$1"
}

check_contents() {
    local deb=$1 arch=$2
    [ -f "$deb" ] || fail "no package $deb"
    local info fields files
    info=$(dpkg-deb --info "$deb")
    note "dpkg-deb --info $deb"
    echo "$info"
    fields=$(dpkg-deb --field "$deb")
    expect_line "$fields" '^Package: quarnel$' "package name"
    expect_line "$fields" '^Version: [0-9]+(\.[0-9]+)+$' "version"
    expect_line "$fields" "^Architecture: $arch\$" "architecture"
    local depends
    depends=$(dpkg-deb --field "$deb" Depends)
    for dep in dash ifupdown sudo libc6 'libstdc\+\+6' libqt5core5a libqt5network5 libqt5widgets5; do
        grep -Eq "(^|, )$dep( |,|$)" <<<"$depends" || fail "Depends lacks $dep: $depends"
    done
    for member in postinst prerm postrm shlibs; do
        expect_line "$info" "lines +(\\* +)?$member( |\$)" "control member $member"
    done

    local x
    x=$(mktemp -d)
    temp_dirs+=("$x")
    dpkg-deb --control "$deb" "$x/DEBIAN"
    # The panel's package enables and starts the unit; any other leaves it off.
    local autostart=0
    [[ $arch == arm* ]] && autostart=1
    grep -q "^\[ \"$autostart\" = 1 \] || exit 0\$" "$x/DEBIAN/postinst" || fail "postinst autostart is not $autostart"
    expect_line "$(cat "$x/DEBIAN/shlibs")" '^libZELK_interface_DLL 1 quarnel' "shlibs entry of the library"

    files=$(dpkg-deb --contents "$deb")
    note "dpkg-deb --contents $deb"
    echo "$files"
    for f in ./usr/bin/quarnel ./usr/sbin/zelkreg ./usr/lib/libZELK_interface_DLL.so.1.0.0 \
             ./usr/lib/systemd/system/quarnel.service ./usr/include/ZELK_interface_DLL/{ZELK_interface_DLL,registermap}.h; do
        grep -q " $f\$" <<<"$files" || fail "missing $f"
    done
    expect_line "$files" '^-rwxr-xr-x root/root .* \./usr/bin/quarnel$' "program mode and owner"
    expect_line "$files" '^-rwxr-xr-x root/root .* \./usr/sbin/zelkreg$' "register tool mode and owner"
    expect_line "$files" '^-rw-r--r-- root/root .* \./usr/lib/systemd/system/quarnel\.service$' "unit mode"
    expect_line "$files" ' \./usr/lib/libZELK_interface_DLL\.so\.1 -> libZELK_interface_DLL\.so\.1\.0\.0$' "SONAME link"
    # Nothing but the deliverables: no test programs, benchmarks or PC tools.
    local unexpected
    unexpected=$(grep -E '/(tst_|zelk_bench|zelk_devmem_probe|quarnelclient|libquarnelpc|quarnelpc|record_exam|panel_pictures|generate_resources)' <<<"$files" || true)
    [ -z "$unexpected" ] || fail "unexpected files: $unexpected"

    dpkg-deb -x "$deb" "$x/root"
    local machine
    case $arch in
        armhf) machine=ARM ;;
        amd64) machine='Advanced Micro Devices X86-64' ;;
        arm64) machine=AArch64 ;;
        *) machine= ;;
    esac
    for elf in usr/bin/quarnel usr/sbin/zelkreg usr/lib/libZELK_interface_DLL.so.1.0.0; do
        local header dynamic
        header=$(readelf -h "$x/root/$elf")
        dynamic=$(readelf -d "$x/root/$elf")
        [ -z "$machine" ] || grep -q "Machine: *$machine\$" <<<"$header" || fail "$elf is not built for $arch"
        # Installed binaries must not look into the build tree for libraries.
        if grep -Eq 'R(UN)?PATH' <<<"$dynamic"; then
            fail "$elf carries a run path: $(grep -E 'R(UN)?PATH' <<<"$dynamic")"
        fi
    done
    grep -q 'SONAME.*\[libZELK_interface_DLL\.so\.1\]' <<<"$(readelf -d "$x/root/usr/lib/libZELK_interface_DLL.so.1.0.0")" \
        || fail "library SONAME is not libZELK_interface_DLL.so.1"
    grep -q 'NEEDED.*\[libZELK_interface_DLL\.so\.1\]' <<<"$(readelf -d "$x/root/usr/bin/quarnel")" \
        || fail "quarnel does not load the library by its SONAME"
    note "contents of $deb as expected"
}

check_lintian() {
    command -v lintian >/dev/null || fail "lintian is missing: run scripts/setup.sh"
    note "lintian $*"
    # One run for all: lintian's start costs more than a small package.
    # Overridden tags (O:) are shown with their reasons (N:), hints (I:) too.
    local out left
    out=$(lintian --fail-on none --show-overrides --display-info "$@" 2>&1) || fail "lintian failed: $out"
    grep -v 'running with root privileges' <<<"$out" || true
    left=$(grep -E '^[EW]: ' <<<"$out" || true)
    [ -z "$left" ] || fail "lintian: errors or warnings neither fixed nor overridden:"$'\n'"$left"
    local deb x package version
    for deb in "$@"; do
        x=$(mktemp -d)
        temp_dirs+=("$x")
        package=$(dpkg-deb --field "$deb" Package)
        dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$x" "./usr/share/doc/$package/changelog.gz"
        gzip -dc "$x/usr/share/doc/$package/changelog.gz" >"$x/changelog"
        version=$(dpkg-parsechangelog -l "$x/changelog" -SVersion)
        [ "$version" = "$(dpkg-deb --field "$deb" Version)" ] \
            || fail "packaging/changelog's latest entry is $version, the package $package $(dpkg-deb --field "$deb" Version)"
    done
    note "lintian: no errors or warnings left"
}

# The PC packages: the library, its development files, the client and the
# Python module, for the build machine; nothing of the panel's in them.
pc_lib= pc_dev= pc_client= pc_python=
sort_pc_packages() {
    local deb
    for deb in "$@"; do
        case $(dpkg-deb --field "$deb" Package) in
        libquarnelpc1) pc_lib=$(readlink -f "$deb") ;;
        libquarnelpc-dev) pc_dev=$(readlink -f "$deb") ;;
        quarnelclient) pc_client=$(readlink -f "$deb") ;;
        python3-quarnelpc) pc_python=$(readlink -f "$deb") ;;
        *) fail "not a PC package: $deb" ;;
        esac
    done
    [ -n "$pc_lib" ] && [ -n "$pc_dev" ] && [ -n "$pc_client" ] && [ -n "$pc_python" ] \
        || fail "PC packages missing among: $*"
}

check_pc_contents() {
    sort_pc_packages "$@"
    local version arch multiarch deb fields files panel
    version=$(dpkg-deb --field "$pc_lib" Version)
    arch=$(dpkg --print-architecture)
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    local lib=./usr/lib/$multiarch
    for deb in "$pc_lib" "$pc_dev" "$pc_client" "$pc_python"; do
        fields=$(dpkg-deb --field "$deb")
        note "$(basename "$deb")"
        echo "$fields"
        [ "$deb" != "$pc_python" ] || arch=all
        expect_line "$fields" "^Architecture: $arch\$" "architecture of $deb"
        expect_line "$fields" "^Version: $version\$" "version of $deb"
        expect_line "$fields" '^Source: quarnel$' "source package of $deb"
        files=$(dpkg-deb --contents "$deb")
        echo "$files"
        panel=$(grep -E '/(quarnel\.service|quarnel|zelkreg|libZELK_interface_DLL[^/]*)$' <<<"$files" || true)
        [ -z "$panel" ] || fail "$deb holds the panel's files: $panel"
    done

    local depends
    depends=$(dpkg-deb --field "$pc_lib" Depends)
    for dep in libc6 'libstdc\+\+6' libqt5core5a libqt5network5; do
        grep -Eq "(^|, )$dep( |,|$)" <<<"$depends" || fail "libquarnelpc1's Depends lacks $dep: $depends"
    done
    # Dependents take this version of the library or any later one.
    for deb in "$pc_dev" "$pc_client"; do
        grep -q "libquarnelpc1 (>= $version)" <<<"$(dpkg-deb --field "$deb" Depends)" \
            || fail "$deb does not depend on libquarnelpc1 (>= $version)"
    done
    local summaries
    summaries=$(for deb in "$pc_lib" "$pc_dev" "$pc_client" "$pc_python"; do dpkg-deb --field "$deb" Description | sed -n 1p; done)
    [ "$(sort -u <<<"$summaries" | wc -l)" -eq 4 ] || fail "the PC packages share a short description:"$'\n'"$summaries"
    grep -Eq '(^|, )qtbase5-dev( |,|$)' <<<"$(dpkg-deb --field "$pc_dev" Depends)" || fail "libquarnelpc-dev does not bring Qt's headers"
    depends=$(dpkg-deb --field "$pc_python" Depends)
    grep -q "libquarnelpc1 (>= $version)" <<<"$depends" || fail "python3-quarnelpc does not depend on this libquarnelpc1: $depends"
    grep -Eq '(^|, )python3(:any)?( |,|$)' <<<"$depends" || fail "python3-quarnelpc does not depend on python3: $depends"
    local x
    x=$(mktemp -d)
    temp_dirs+=("$x")
    dpkg-deb --control "$pc_lib" "$x/DEBIAN"
    expect_line "$(cat "$x/DEBIAN/shlibs")" "^libquarnelpc 1 libquarnelpc1 \(>= $version\)\$" "shlibs entry of libquarnelpc1"
    expect_line "$(cat "$x/DEBIAN/triggers")" '^activate-noawait ldconfig$' "ldconfig trigger of libquarnelpc1"

    # Runtime, development link and headers each in their package.
    files=$(dpkg-deb --contents "$pc_lib")
    expect_line "$files" " $lib/libquarnelpc\.so\.1 -> libquarnelpc\.so\.1\.0\.0\$" "SONAME link in libquarnelpc1"
    expect_line "$files" "^-rw-r--r-- root/root .* $lib/libquarnelpc\.so\.1\.0\.0\$" "library in libquarnelpc1"
    ! grep -Eq '/include/|libquarnelpc\.so$| -> libquarnelpc\.so\.1$' <<<"$files" || fail "libquarnelpc1 holds development files"
    files=$(dpkg-deb --contents "$pc_dev")
    for f in quarnelpc quarnelpc_global error command announcement connectionstatus discovery terminal \
             quarnelpc_c version; do
        grep -q " ./usr/include/quarnelpc/$f\.h\$" <<<"$files" || fail "libquarnelpc-dev lacks the header $f.h"
    done
    expect_line "$files" " $lib/libquarnelpc\.so -> libquarnelpc\.so\.1\$" "development link in libquarnelpc-dev"
    for f in "$lib/pkgconfig/quarnelpc.pc" ./usr/share/doc/libquarnelpc-dev/protocol.md \
             ./usr/share/doc/libquarnelpc-dev/examples/record_exam.cpp \
             ./usr/share/doc/libquarnelpc-dev/examples/record_exam.c; do
        grep -q " $f\$" <<<"$files" || fail "libquarnelpc-dev lacks $f"
    done
    files=$(dpkg-deb --contents "$pc_python")
    for f in ./usr/lib/python3/dist-packages/quarnelpc/__init__.py \
             ./usr/share/doc/python3-quarnelpc/examples/record_exam.py; do
        grep -q " $f\$" <<<"$files" || fail "python3-quarnelpc lacks $f"
    done
    ! grep -q '__pycache__\|\.pyc$' <<<"$files" || fail "python3-quarnelpc holds byte code (postinst makes it)"
    files=$(dpkg-deb --contents "$pc_client")
    for f in ./usr/bin/quarnelclient ./usr/share/man/man1/quarnelclient.1.gz; do
        grep -q " $f\$" <<<"$files" || fail "quarnelclient lacks $f"
    done

    dpkg-deb -x "$pc_lib" "$x/root"
    dpkg-deb -x "$pc_dev" "$x/root"
    dpkg-deb -x "$pc_client" "$x/root"
    local so=$x/root/${lib#./}/libquarnelpc.so.1.0.0
    grep -q 'SONAME.*\[libquarnelpc\.so\.1\]' <<<"$(readelf -d "$so")" || fail "library SONAME is not libquarnelpc.so.1"
    grep -q 'NEEDED.*\[libquarnelpc\.so\.1\]' <<<"$(readelf -d "$x/root/usr/bin/quarnelclient")" \
        || fail "quarnelclient does not load the library by its SONAME"
    local dynamic
    for elf in "$so" "$x/root/usr/bin/quarnelclient"; do
        dynamic=$(readelf -d "$elf")
        ! grep -Eq 'R(UN)?PATH' <<<"$dynamic" || fail "$elf carries a run path"
    done
    # The public classes and the C interface only: what the library is built
    # from stays inside.
    local exported
    exported=$(nm -D --defined-only -C "$so" | awk '{ $1 = ""; $2 = ""; print }' \
        | grep -v -e 'QuarnelPc::' -e '^  quarnelpc_[a-z_]*$' || true)
    [ -z "$exported" ] || fail "libquarnelpc exports more than its public classes and C interface:"$'\n'"$exported"
    grep -q '^  quarnelpc_connect$' <<<"$(nm -D --defined-only "$so" | awk '{ $1 = ""; $2 = ""; print }')" \
        || fail "libquarnelpc does not export its C interface"
    expect_line "$(cat "$x/root/${lib#./}/pkgconfig/quarnelpc.pc")" '^prefix=/usr$' "pkg-config prefix"
    ! grep -rqF -e "$repo" -e /_CPack_Packages/ "$x/root/usr/include" "$x/root/${lib#./}/pkgconfig" \
        || fail "build paths in the development files"
    note "contents of the PC packages as expected"
}

# Everything below writes only into an overlay whose upper layer is a tmpfs
# of this mount namespace: the machine's /usr, /etc and dpkg database stay
# untouched, and the whole layer disappears with the namespace.
# The overlay's root, once made; the packages are installed there.
root=
in_root() { chroot "$root" "$@"; }

make_overlay() {
    "$harness" --inside || fail "install runs only inside scripts/harness.sh"
    [ "$(id -u)" -eq 0 ] || fail "install needs root inside the harness"
    local t
    t=$(mktemp -d)
    temp_dirs+=("$t")
    overlay_top=$t
    mount -t tmpfs quarnel-package "$t"
    mkdir "$t/upper" "$t/work" "$t/root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$t/upper,workdir=$t/work" "$t/root"
    root=$t/root
    # Should the unmounting never happen (a killed test), nothing mounted
    # here may lead a recursive removal into the machine's own files: a
    # fresh proc, a read-only sysfs and a /dev of its own on a tmpfs.
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount -t tmpfs -o mode=755 quarnel-dev "$root/dev"
    mknod -m 666 "$root/dev/null" c 1 3
    mknod -m 666 "$root/dev/zero" c 1 5
    mknod -m 666 "$root/dev/urandom" c 1 9
    mknod -m 666 "$root/dev/random" c 1 8
    mkdir "$root/dev/shm"
    ln -s /proc/self/fd "$root/dev/fd"
    # The harness's own files: the stand-ins and their logs, settings, temp
    # folder; its /etc/network (the interfaces file the program rewrites and
    # empty hook folders: the machine's hooks, seen through the overlay's
    # lower layer, never run); ifupdown's state.
    mkdir -p "$root$QUARNEL_HARNESS_DIR"
    mount --bind "$QUARNEL_HARNESS_DIR" "$root$QUARNEL_HARNESS_DIR"
    mount --bind /etc/network "$root/etc/network"
    mkdir -p "$root/run/network"
    mount --bind /run/network "$root/run/network"
    # The lower layer is the machine's root without the harness's mounts, so
    # its sudo, reboot and friends would be the real ones: here the stand-ins
    # take their places in the upper layer. systemctl goes altogether, as on a
    # machine without systemd, so that deb-systemd-helper links units itself.
    local name place
    for name in sudo reboot shutdown poweroff halt; do
        rm -f "$root/usr/bin/$name" "$root/usr/sbin/$name" "$root/bin/$name" "$root/sbin/$name"
        place=usr/sbin
        [ "$name" != sudo ] || place=usr/bin
        cp "$QUARNEL_HARNESS_DIR/bin/standin" "$root/$place/$name"
    done
    rm -f "$root/usr/bin/systemctl" "$root/bin/systemctl"
    [ ! -e "$root/usr/bin/systemctl" ] && [ ! -e "$root/bin/systemctl" ] || fail "systemctl still reachable in the overlay"
    # The manual's index is not rebuilt after each install on a throw-away
    # root (man-db's trigger would take seconds to do it).
    rm -f "$root/var/lib/man-db/auto-update"
    mkdir -p "$root/pkg"
}

check_install() {
    local deb
    deb=$(readlink -f "$1")
    [ -n "$root" ] || make_overlay
    local t=$overlay_top
    cp "$deb" "$root/pkg/"
    local pkg=/pkg/$(basename "$deb")

    note "dpkg -i $pkg (on the overlay)"
    # Dependencies that this machine lacks (sudo: never installed on a
    # development machine, so that a stray reboot cannot run) are named in
    # Depends, checked above; here they are the only ones allowed to miss.
    local out
    if ! out=$(in_root dpkg -i --force-depends "$pkg" 2>&1); then
        fail "dpkg -i failed: $out"
    fi
    echo "$out"
    local missing
    missing=$(grep -Eo 'depends on [^;]+; however' <<<"$out" | sed -E 's/depends on ([^ ;]+).*/\1/' | sort -u | tr '\n' ' ')
    for m in $missing; do
        grep -q "$m" <<<"$(in_root dpkg-deb --field "$pkg" Depends)" || fail "unexpected unmet dependency $m"
        if [ "$(in_root dpkg-query -W -f='${Status}' "$m" 2>/dev/null || true)" = 'install ok installed' ]; then
            fail "dependency $m reported missing though installed"
        fi
    done
    [ "$(in_root dpkg-query -W -f='${Status}' quarnel)" = 'install ok installed' ] || fail "quarnel not installed"
    local libs
    libs=$(in_root ldd /usr/bin/quarnel)
    grep -Eq 'libZELK_interface_DLL\.so\.1 => (/usr)?/lib/libZELK_interface_DLL\.so\.1 ' <<<"$libs" \
        || fail "installed program does not find the installed library: $libs"

    note "systemd-analyze verify quarnel.service"
    local unit=/usr/lib/systemd/system/quarnel.service verify
    verify=$(in_root systemd-analyze verify --man=no "$unit" 2>&1 | grep -v 'getty@tty1.service' || true)
    [ -z "$verify" ] || fail "unit does not verify: $verify"
    # On a PC the package neither enables nor starts the unit.
    [ ! -e "$root/etc/systemd/system/multi-user.target.wants/quarnel.service" ] || fail "host package enabled the unit"

    note "running ExecStart of the unit with its environment (simulated FPGA, offscreen)"
    local exec_start
    exec_start=$(sed -n 's/^ExecStart=//p' "$root$unit")
    [ "$exec_start" = /usr/bin/quarnel ] || fail "unexpected ExecStart: $exec_start"
    local envs=()
    while IFS= read -r kv; do envs+=("$kv"); done < <(sed -n 's/^Environment=//p' "$root$unit")
    grep -qx 'KillSignal=SIGTERM' "$root$unit" || fail "unit does not stop with SIGTERM"
    # Back after any failure, however often; the exit sequence's status 0 stays stopped.
    grep -qx 'Restart=on-failure' "$root$unit" || fail "unit does not restart the program on failure only"
    grep -qx 'StartLimitIntervalSec=0' "$root$unit" || fail "unit gives up after a start limit"
    grep -Eqx 'MemoryMax=[0-9]+[KMG]' "$root$unit" || fail "unit has no memory ceiling"
    note "systemd-analyze security --offline=true quarnel.service"
    local security
    if ! security=$(in_root systemd-analyze security --offline=true --threshold=35 --no-pager "$unit" 2>&1); then
        fail "unit's exposure rose above 3.5:"$'\n'"$security"
    fi
    tail -n 1 <<<"$security"
    printf '%s\n' "${envs[@]}" | grep -qx 'QT_QPA_FB_HIDECURSOR=1' || fail "pointer not hidden"
    printf '%s\n' "${envs[@]}" | grep -q '^QT_QPA_PLATFORM=\(linuxfb\|eglfs\)' || fail "not on the framebuffer"

    # What RuntimeDirectory= gives the program.
    local runtime
    runtime=$(sed -n 's/^RuntimeDirectory=//p' "$root$unit")
    [ -z "$runtime" ] || mkdir -p -m 700 "$root/run/$runtime"

    local listen=$t/discovery.txt
    nsenter --net="$QUARNEL_PC_NETNS" timeout 30 socat -u UDP4-RECV:8192,reuseaddr OPEN:"$listen",creat,append &
    local listener=$!
    # The unit's capability bounding set and no-new-privileges, as systemd
    # would apply them (the rest of its sandbox needs systemd itself).
    local caps
    caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$root$unit" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
    [ -n "$caps" ] || fail "unit has no capability bounding set"
    grep -qx 'NoNewPrivileges=yes' "$root$unit" || fail "unit lets the program gain privileges"
    # There is no framebuffer here: offscreen replaces the unit's platform.
    chroot "$root" setpriv --no-new-privs --bounding-set="-all,$caps" \
        env "${envs[@]}" QT_QPA_PLATFORM=offscreen ZELK_FPGA=sim "$exec_start" \
        > "$t/program.log" 2>&1 &
    local program=$!
    local got=
    for _ in $(seq 300); do
        if [ -s "$listen" ]; then got=1; break; fi
        kill -0 "$program" 2>/dev/null || break
        sleep 0.1
    done
    kill "$listener" 2>/dev/null || true
    wait "$listener" 2>/dev/null || true
    if [ -z "$got" ]; then
        kill -KILL "$program" 2>/dev/null || true
        fail "no discovery datagram from the installed program; its output:"$'\n'"$(cat "$t/program.log")"
    fi
    note "discovery datagram: $(head -c 300 "$listen")"
    grep -q 'SIM-0000/00-1' "$listen" || fail "the datagram does not name the simulated headbox"
    grep -q 'simulated FPGA' "$t/program.log" || fail "the installed library did not use the simulated FPGA"

    kill -TERM "$program"
    local status=
    for _ in $(seq 150); do
        if ! kill -0 "$program" 2>/dev/null; then
            set +e; wait "$program"; status=$?; set -e
            break
        fi
        sleep 0.1
    done
    [ -n "$status" ] || { kill -KILL "$program"; fail "program still running 15 s after SIGTERM"; }
    [ "$status" -eq 0 ] || fail "program ended with status $status after SIGTERM:"$'\n'"$(cat "$t/program.log")"
    # The unit keeps its runtime folder until the next boot (/run is a tmpfs).
    [ -z "$runtime" ] || rm -rf --one-file-system "$root/run/$runtime"

    # An enabled unit (as on the panel, where postinst does this) must go
    # away with the purge as well.
    in_root env DPKG_MAINTSCRIPT_PACKAGE=quarnel DPKG_MAINTSCRIPT_NAME=postinst \
        deb-systemd-helper enable quarnel.service
    [ -L "$root/etc/systemd/system/multi-user.target.wants/quarnel.service" ] || fail "enable did not link the unit"

    note "dpkg --purge quarnel"
    in_root dpkg --purge quarnel || fail "purge failed"
    if grep -q installed <<<"$(in_root dpkg-query -W -f='${Status}' quarnel 2>/dev/null || true)"; then
        fail "quarnel still known to dpkg after purge"
    fi
    local left
    left=$(cd "$t/upper" && find . \( -name '*quarnel*' -o -name '*ZELK*' -o -name 'zelkreg*' \) \
        ! -path './var/log/*' ! -path "./${QUARNEL_HARNESS_DIR#/}*" ! -path './pkg/*' || true)
    [ -z "$left" ] || fail "left behind after purge: $left"
    note "installed, ran, stopped and purged cleanly"
}

# The PC packages on the overlay: the client runs on the installed library,
# the examples build against the development package as their comments say,
# the Python module imports and loads the installed library; then they go
# without a trace (the module's byte code with them).
check_pc_install() {
    sort_pc_packages "$@"
    [ -n "$root" ] || make_overlay
    local deb pkgs=()
    for deb in "$pc_lib" "$pc_dev" "$pc_client" "$pc_python"; do
        cp "$deb" "$root/pkg/"
        pkgs+=("/pkg/$(basename "$deb")")
    done
    note "dpkg -i ${pkgs[*]} (on the overlay)"
    local out
    out=$(in_root dpkg -i "${pkgs[@]}" 2>&1) || fail "dpkg -i of the PC packages failed: $out"
    local multiarch version
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    version=$(in_root quarnelclient --version 2>&1) || fail "the installed quarnelclient does not run: $version"
    [ "$version" = "quarnelclient $(dpkg-deb --field "$pc_lib" Version)" ] || fail "quarnelclient --version says: $version"
    out=$(in_root ldd /usr/bin/quarnelclient)
    grep -Eq "libquarnelpc\.so\.1 => (/usr)?/lib/$multiarch/libquarnelpc\.so\.1 " <<<"$out" \
        || fail "quarnelclient does not find the installed library: $out"

    note "the example, built with pkg-config quarnelpc"
    local example=/usr/share/doc/libquarnelpc-dev/examples/record_exam.cpp
    out=$(in_root sh -c "c++ -fPIC -o /pkg/record_exam $example \$(pkg-config --cflags --libs quarnelpc)" 2>&1) \
        || fail "the example does not build against the installed package: $out"
    out=$(in_root ldd /pkg/record_exam)
    grep -Eq "libquarnelpc\.so\.1 => (/usr)?/lib/$multiarch/libquarnelpc\.so\.1 " <<<"$out" \
        || fail "the example does not load the installed library: $out"
    note "the C example, built with pkg-config quarnelpc"
    out=$(in_root sh -c "cc -Wall -Wextra -Werror -o /pkg/record_exam_c ${example%.cpp}.c \$(pkg-config --cflags --libs quarnelpc)" 2>&1) \
        || fail "the C example does not build against the installed package: $out"

    note "python3 -c 'import quarnelpc' (the installed module on the installed library)"
    out=$(in_root env -u QUARNELPC_LIBRARY -u PYTHONPATH /usr/bin/python3 -c \
        'import quarnelpc; print(quarnelpc.protocol_version(), quarnelpc.__file__, quarnelpc.Terminal.__doc__ is not None)' 2>&1) \
        || fail "the installed module does not import: $out"
    [ "$out" = "$(dpkg-deb --field "$pc_lib" Version) /usr/lib/python3/dist-packages/quarnelpc/__init__.py True" ] \
        || fail "the installed module says: $out"
    [ -n "$(ls "$root"/usr/lib/python3/dist-packages/quarnelpc/__pycache__/*.pyc 2>/dev/null)" ] \
        || fail "postinst did not byte-compile the module"

    note "dpkg --purge python3-quarnelpc quarnelclient libquarnelpc-dev libquarnelpc1"
    in_root dpkg --purge python3-quarnelpc quarnelclient libquarnelpc-dev libquarnelpc1 >/dev/null \
        || fail "purge of the PC packages failed"
    local left
    left=$(cd "$overlay_top/upper" && find . \( -name '*quarnelpc*' -o -name 'quarnelclient*' \) \
        ! -path './var/log/*' ! -path "./${QUARNEL_HARNESS_DIR#/}*" ! -path './pkg/*' || true)
    [ -z "$left" ] || fail "left behind after purge: $left"
    note "PC packages installed, used and purged cleanly"
}

# An integrator builds against the build tree before installing anything.
check_pc_build_tree() {   # build-dir work-dir
    local build=$1 work=$2 out
    note "the example, built with the build tree's pkg-config quarnelpc"
    out=$(PKG_CONFIG_PATH=$build/tools/quarnelpc sh -c \
          "c++ -fPIC -o '$work/record_exam' '$repo/tools/quarnelpc/examples/record_exam.cpp' \$(pkg-config --cflags --libs quarnelpc)" 2>&1) \
        || fail "the example does not build against the build tree: $out"
    out=$(ldd "$work/record_exam")
    grep -Fq "libquarnelpc.so.1 => $build/tools/quarnelpc/libquarnelpc.so.1 " <<<"$out" \
        || fail "the example does not load the build tree's library: $out"
}

mode=${1:-}
case $mode in
contents)
    check_contents "$2" "$3"
    ;;
install)
    check_install "$2"
    ;;
lintian)
    shift
    check_lintian "$@"
    ;;
pc-contents)
    shift
    check_pc_contents "$@"
    ;;
pc-install)
    shift
    check_pc_install "$@"
    ;;
host)
    build=$(readlink -f "$2")
    "$harness" --inside || fail "run inside scripts/harness.sh"
    out=$(mktemp -d)
    temp_dirs+=("$out")
    note "cpack -G DEB in $build"
    (cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1) \
        || fail "cpack failed: $(cat "$out/cpack.log")"
    deb=$(ls "$out"/quarnel_*.deb)
    pc_debs=()
    if [ -f "$build/CPackConfigPC.cmake" ]; then
        mkdir "$out/pc"
        note "cmake --build $build --target pc_packages (the README's way)"
        cmake --build "$build" --target pc_packages >"$out/pc/build.log" 2>&1 \
            || fail "the target pc_packages failed: $(cat "$out/pc/build.log")"
        cp "$build"/packages/pc/*.deb "$out/pc/"
        pc_debs=("$out"/pc/*.deb)
        [ ${#pc_debs[@]} -eq 4 ] || fail "pc_packages made ${#pc_debs[@]} packages, not 4"
        check_pc_build_tree "$build" "$out/pc"
    fi
    check_contents "$deb" "$(dpkg --print-architecture)"
    [ ${#pc_debs[@]} -eq 0 ] || check_pc_contents "${pc_debs[@]}"
    check_lintian "$deb" "${pc_debs[@]}"
    check_install "$deb"
    [ ${#pc_debs[@]} -eq 0 ] || check_pc_install "${pc_debs[@]}"
    ;;
*)
    sed -n '2,23p' "$0" >&2
    exit 2
    ;;
esac
