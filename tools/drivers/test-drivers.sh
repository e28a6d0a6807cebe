#!/usr/bin/env bash
# The tests over the Linux kernel's own serial drivers, in a virtual machine:
# a 16550A UART (8250), an FTDI FT232 adapter (ftdi_sio) and a CDC-ACM device
# (cdc_acm, fed by a USB serial gadget on dummy_hcd).
#
#   test-drivers.sh BUILD_DIR          on the host: boots the guest, reports
#   test-drivers.sh prepare            on the host: only fetches and unpacks
#                                      the guest's kernel, makes its initramfs
#   test-drivers.sh guest BUILD_DIR    in the guest, from its init: the tests
#   test-drivers.sh unplug|replug DEVICE
#                                      in the guest: unplugs or plugs in again
#                                      the guest's FTDI adapter or CDC-ACM
#                                      device (kAdapter, kAcm below); exits
#                                      with 2 for a device it cannot unplug,
#                                      1 when it could not do what it can
#
# ZR9_DRIVERS_PLANT_FAILURE=1 checks the harness itself: the first unplug of
# the FTDI adapter fails as a harness error, and one plain scenario fails on
# purpose. The run must then end non-zero and name both.
#
# The guest runs Debian's kernel with the host's root file system, read-only,
# as its own, so it runs the build tree's programs. QEMU gets no device of
# this machine: its serial lines are socket chardevs and its console is
# stdio. The guest's ttyS1 and its FTDI adapter are joined on the host into a
# null-modem line; the simulated module and the tool both run in the guest.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/zr9config

# QEMU's USB serial adapter, as the guest's sysfs shows it.
readonly kAdapterSerial=ZR9TEST0001
# Drivers in the order of their dependencies.
readonly kModules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
    netfs fscache 9pnet 9pnet_virtio 9p virtio_console
    usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio
    udc-core dummy_hcd configfs libcomposite u_serial usb_f_acm cdc-acm"

# --- On the host ------------------------------------------------------------

# Debian's current kernel, fetched once into the cache with its image
# unpacked as an ELF file (QEMU boots that without running the kernel's own
# decompressor, which is slow without hardware virtualisation) and the
# modules below, in one pass over the package.
guest_kernel() {
    local package version dir
    package=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
    if [ -z "$package" ]; then
        apt-get update -qq >&2
        package=$(apt-cache depends linux-image-amd64 |
            sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
    fi
    version=${package#linux-image-}
    dir=$cache/guest-$version-$(echo $kModules | md5sum | cut -c 1-8)
    if [ ! -f "$dir/.complete" ]; then
        echo "test-drivers: fetching $package into $dir" >&2
        rm -rf "$dir"
        mkdir -p "$dir/unpacked" "$dir/modules"
        local sandbox=() module patterns=("./boot/vmlinuz-$version")
        [ "$(id -u)" != 0 ] || sandbox=(-o APT::Sandbox::User=root)
        (cd "$dir" && apt-get download -q "${sandbox[@]}" "$package" >&2)
        for module in $kModules; do
            patterns+=("*/$module.ko")
        done
        dpkg-deb --fsys-tarfile "$dir"/*.deb |
            tar -x -C "$dir/unpacked" --wildcards --no-anchored "${patterns[@]}"
        find "$dir/unpacked/lib" -name '*.ko' -exec mv {} "$dir/modules/" \;
        for module in $kModules; do
            [ -f "$dir/modules/$module.ko" ] ||
                { echo "test-drivers: the kernel has no module $module" >&2; exit 1; }
        done
        # The image is a decompressor with the xz-compressed kernel after it.
        local image=$dir/unpacked/boot/vmlinuz-$version offset
        offset=$(grep -abo $'\xfd7zXZ' "$image" | head -n 1 | cut -d: -f1)
        tail -c +$((offset + 1)) "$image" | xz -dc >"$dir/vmlinux" 2>/dev/null || true
        rm -rf "$dir/unpacked" "$dir"/*.deb
        [ "$(head -c 4 "$dir/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ] ||
            { echo "test-drivers: no kernel found in $package" >&2; exit 1; }
        touch "$dir/.complete"
    fi
    echo "$dir"
}

# The initramfs: busybox, the modules and the guest's init; made anew in the
# kernel's cache whenever the init changed.
guest_initramfs() {
    local kernel=$1 image
    image=$kernel/initramfs-$(md5sum <"$here/init" | cut -c 1-12).cpio
    if [ ! -f "$image" ]; then
        local root
        root=$(mktemp -d)
        mkdir -p "$root/bin"
        cp -r "$kernel/modules" "$root/"
        echo $kModules | tr ' ' '\n' >"$root/modules/order"
        cp /bin/busybox "$root/bin/"
        cp "$here/init" "$root/init"
        rm -f "$kernel"/initramfs-*.cpio
        (cd "$root" && find . | busybox cpio -o -H newc >"$image.new" 2>/dev/null)
        rm -rf "$root"
        mv "$image.new" "$image"
    fi
    echo "$image"
}

wait_for_file() {
    local file=$1 tries=200
    while [ ! -e "$file" ] && [ $tries -gt 0 ]; do
        sleep 0.05
        tries=$((tries - 1))
    done
    [ -e "$file" ]
}

# Ends QEMU and socat, started here, by their process ids.
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}

run_host() {
    local build source
    build=$(cd "$1" && pwd)
    source=$(cd "$here/../.." && pwd)
    case "$build$source" in
    *[[:space:]]*) echo "test-drivers: the paths must not hold spaces (kernel command line)" >&2; exit 1 ;;
    esac
    local kernel initramfs
    kernel=$(guest_kernel)
    initramfs=$(guest_initramfs "$kernel")
    work=$(mktemp -d /tmp/zr9-drivers.XXXXXX)
    mkdir "$work/results"
    pids=()
    trap cleanup EXIT
    trap 'exit 1' INT TERM

    # Nothing of this machine's: sockets, and the guest's console on stdio.
    # -serial stdio comes first, so the console is the guest's own ttyS0.
    local started
    started=$(date +%s)
    qemu-system-x86_64 -machine q35,accel=tcg -m 1024 -smp 2 \
        -nodefaults -no-user-config -display none -no-reboot \
        -bios /usr/share/qemu/qboot.rom -kernel "$kernel/vmlinux" -initrd "$initramfs" \
        -append "console=ttyS0,115200 quiet loglevel=2 panic=-1 zr9_source=$source zr9_build=$build zr9_plant_failure=${ZR9_DRIVERS_PLANT_FAILURE:-0}" \
        -serial stdio \
        -chardev "socket,id=uart,path=$work/uart.sock,server=on,wait=off" -serial chardev:uart \
        -device qemu-xhci,id=xhci \
        -chardev "socket,id=adapter,path=$work/adapter.sock,server=on,wait=off" \
        -device "usb-serial,id=adapter,bus=xhci.0,chardev=adapter,serial=$kAdapterSerial" \
        -device virtio-serial-pci \
        -chardev "socket,id=control,path=$work/control.sock,server=on,wait=off" \
        -device virtserialport,chardev=control,name=zr9.monitor \
        -monitor "unix:$work/monitor.sock,server=on,wait=off" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$work/results,mount_tag=results,security_model=none" \
        </dev/null > >(tee "$work/console.log") &
    pids+=($!)
    for socket in uart adapter control monitor; do
        wait_for_file "$work/$socket.sock" || { echo "test-drivers: QEMU did not start" >&2; exit 1; }
    done
    # The null-modem line; the adapter attaches once its chardev is connected.
    # Its complaints when QEMU closes the sockets at the end are of no interest.
    socat "UNIX-CONNECT:$work/uart.sock" "UNIX-CONNECT:$work/adapter.sock" 2>/dev/null &
    pids+=($!)
    # The guest's harness reaches QEMU's monitor through its virtio port.
    socat "UNIX-CONNECT:$work/control.sock" "UNIX-CONNECT:$work/monitor.sock" 2>/dev/null &
    pids+=($!)

    # The guest powers off when it is done; this bounds a guest that hangs.
    local limit=$((started + ${ZR9_DRIVERS_TIME_LIMIT:-900}))
    while kill -0 "${pids[0]}" 2>/dev/null && [ "$(date +%s)" -lt $limit ]; do
        sleep 1
    done
    echo "test-drivers: guest ran $(($(date +%s) - started)) s"
    if [ ! -f "$work/results/summary" ]; then
        echo "test-drivers: the guest ended without results"
        exit 1
    fi
    # Only a run that passed something and failed nothing passes.
    local summary passed failed
    summary=$(cat "$work/results/summary")
    passed=$(sed -n 's/^drivers: \([0-9][0-9]*\) passed, [0-9][0-9]* failed$/\1/p' <<<"$summary")
    failed=$(sed -n 's/^drivers: [0-9][0-9]* passed, \([0-9][0-9]*\) failed$/\1/p' <<<"$summary")
    if [ -z "$passed" ] || [ -z "$failed" ] || [ "$passed" -eq 0 ] || [ "$failed" -ne 0 ]; then
        echo "test-drivers: FAILED ($summary)"
        [ ! -s "$work/results/failed" ] || sed 's/^/test-drivers: failed: /' "$work/results/failed"
        exit 1
    fi
}

# --- In the guest -----------------------------------------------------------

# The guest's devices: the virtual machine's own, never this machine's.
readonly kUart=/dev/ttyS1 kAdapter=/dev/ttyUSB0 kAcm=/dev/ttyACM0 kGadget=/dev/ttyGS0
readonly kUdc=dummy_udc.0 kGadgetDir=/sys/kernel/config/usb_gadget/zr9
results=/run/zr9/results

# Waits up to 10 s for a device to be there (present) or not (absent).
wait_until() {
    local state=$1 device=$2 tries=100
    while [ $tries -gt 0 ]; do
        if [ -e "$device" ]; then [ "$state" = present ] && return 0; else [ "$state" = absent ] && return 0; fi
        sleep 0.1
        tries=$((tries - 1))
    done
    echo "test-drivers: $device is not $state" >&2
    return 1
}

# As udev has them on a desktop: the dialout group may use serial devices.
own_devices() {
    local device
    for device in /dev/ttyS[0-9]* /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]* /dev/ttyGS[0-9]*; do
        [ -e "$device" ] || continue
        chgrp dialout "$device"
        chmod 0660 "$device"
    done
}

# The gadget behind ttyACM0: g_serial's ACM function and its identity, made
# through configfs rather than with g_serial itself. Unbinding g_serial waits
# until nothing holds ttyGS0, so a module left on it would block the replug;
# a configfs gadget unbinds from the UDC and keeps its ttyGS0.
make_gadget() {
    mount -t configfs configfs /sys/kernel/config
    mkdir "$kGadgetDir" "$kGadgetDir/strings/0x409" "$kGadgetDir/configs/c.1" \
        "$kGadgetDir/functions/acm.usb0"
    echo 0x0525 >"$kGadgetDir/idVendor"
    echo 0xa4a7 >"$kGadgetDir/idProduct"
    echo "Gadget Serial v2.4" >"$kGadgetDir/strings/0x409/product"
    echo ZR9TEST0021 >"$kGadgetDir/strings/0x409/serialnumber"
    ln -s "$kGadgetDir/functions/acm.usb0" "$kGadgetDir/configs/c.1/"
    echo $kUdc >"$kGadgetDir/UDC"
}

# One HMP command to QEMU's monitor, through the virtio port the host joins
# to it; its answer is not read (the device's coming or going is).
monitor() {
    local name
    for name in /sys/class/virtio-ports/*/name; do
        if [ "$(cat "$name")" = zr9.monitor ]; then
            printf '%s\n' "$1" >"/dev/$(basename "$(dirname "$name")")"
            return
        fi
    done
    echo "test-drivers: no monitor port" >&2
    return 1
}

# The harness's unplug and replug. The FTDI adapter leaves the guest's USB
# bus through QEMU's monitor and comes back as a new device. The CDC-ACM
# device goes with the UDC's soft disconnect, which also hangs up ttyGS0;
# writing "connect" there restarts the UDC, but the host side's enumeration
# then fails (dummy_hcd, EPROTO, for 16 s), so the gadget is bound to the UDC
# anew instead.
plug() {
    if [ "$1 $2" = "unplug $kAdapter" ] && [ "${zr9_plant_failure:-0}" = 1 ] &&
        mkdir /run/zr9/planted-unplug 2>/dev/null; then
        echo "test-drivers: planted failure: the adapter is not unplugged" >&2
        return 1
    fi
    case "$1 $2" in
    "unplug $kAdapter")
        monitor "device_del adapter" && wait_until absent $kAdapter ;;
    "replug $kAdapter")
        monitor "device_add usb-serial,id=adapter,bus=xhci.0,chardev=adapter,serial=$kAdapterSerial" &&
            wait_until present $kAdapter ;;
    "unplug $kAcm")
        echo disconnect >/sys/class/udc/$kUdc/soft_connect && wait_until absent $kAcm ;;
    "replug $kAcm")
        echo >"$kGadgetDir/UDC" && echo $kUdc >"$kGadgetDir/UDC" && wait_until present $kAcm ;;
    *)
        echo "test-drivers: cannot $1 ${2:-nothing}" >&2
        return 2 ;;
    esac || return 1
    own_devices
}

passed=0
failed=()

# Runs a GoogleTest program and counts its tests, each under `label`, with
# its output in the results share. Each test's outcome line ends in its time;
# a value-parameterized test's name is followed by ", where GetParam() = ...".
# A test that started and has no outcome (the program crashed or hung in it)
# failed, and so did a program that exits non-zero with no failure counted.
run_gtest() {
    local label=$1 log status=0 outcomes outcome name took started unfinished failures=0
    shift
    log=$results/$(echo "$label" | tr -c 'A-Za-z0-9\n' '-').log
    "$@" >"$log" 2>&1 || status=$?
    outcomes=$(sed -n 's/^\[ *\(OK\|FAILED\|SKIPPED\) *\] \([^ ,]*\)\(, where .*\)\? (\([0-9]*\) ms)$/\1 \2 \4/p' "$log")
    while read -r outcome name took; do
        case $outcome in
        '') ;;
        OK) passed=$((passed + 1)); printf '  Passed   %s: %s (%s ms)\n' "$label" "$name" "$took" ;;
        SKIPPED) printf '  Skipped  %s: %s\n' "$label" "$name" ;;
        *) failed+=("$label: $name"); failures=$((failures + 1))
           printf '  FAILED   %s: %s\n' "$label" "$name" ;;
        esac
    done <<<"$outcomes"
    started=$(sed -n 's/^\[ RUN      \] \(.*\)$/\1/p' "$log")
    if [ -n "$started" ]; then
        unfinished=$(grep -vxF -f <(cut -d' ' -f2 <<<"$outcomes") <<<"$started" || true)
        while read -r name; do
            [ -n "$name" ] || continue
            failed+=("$label: $name did not finish (exit status $status)")
            failures=$((failures + 1))
            printf '  FAILED   %s: %s did not finish\n' "$label" "$name"
        done <<<"$unfinished"
    fi
    if [ -z "$started" ]; then
        failed+=("$label: no test ran (exit status $status)")
        failures=$((failures + 1))
    elif [ "$status" -ne 0 ] && [ $failures -eq 0 ]; then
        failed+=("$label: exit status $status")
        failures=$((failures + 1))
    fi
    if [ $failures -gt 0 ]; then
        grep -A12 Failure "$log" | head -n 40 || true
        [ -n "$outcomes" ] || tail -n 20 "$log"
    fi
}

run_guest() {
    local build=$1
    export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    export HOME=/tmp/home TMPDIR=/tmp XDG_RUNTIME_DIR=/tmp/runtime QT_QPA_PLATFORM=offscreen
    # Tests in the guest unplug and replug through "$ZR9_DRIVERS_HARNESS unplug $kAdapter" and the like.
    export ZR9_DRIVERS_GUEST=1 ZR9_DRIVERS_HARNESS=$0
    mkdir -p "$HOME" && mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
    echo "test-drivers: guest up after $(cut -d' ' -f1 /proc/uptime) s"

    make_gadget
    wait_until present $kAdapter && wait_until present $kAcm && wait_until present $kGadget ||
        { echo "drivers: 0 passed, 1 failed" | tee "$results/summary"; return; }
    own_devices
    # The drivers' own settings for a new terminal, before anything set them.
    local uart_defaults adapter_defaults acm_defaults
    uart_defaults=$(stty -g -F $kUart)
    adapter_defaults=$(stty -g -F $kAdapter)
    acm_defaults=$(stty -g -F $kAcm)

    # The end-to-end scenarios, the window on the first device of each pair
    # and the simulated module on the second: those whose bytes, line
    # settings or device the driver has a part in. Discovery's needs two
    # modules and so a pseudo-terminal each; the answers that end a connect
    # attempt with a box differ from a Connect's only in their bytes.
    local e2e=("$build/tests/e2e/e2e_tests"
        --gtest_filter=-EndToEnd.PortList*:EndToEnd.*Password*:EndToEnd.VersionError*:EndToEnd.SilentModule*)
    local planted=
    [ "${zr9_plant_failure:-0}" != 1 ] || planted=EndToEnd.ConnectShowsDisconnectAndTheModulesVersion
    ZR9_PLANTED_FAILURE=$planted ZR9_DEVICE_PAIR="$kUart $kAdapter $uart_defaults" \
        run_gtest "16550A to FTDI" "${e2e[@]}"
    ZR9_DEVICE_PAIR="$kAdapter $kUart $adapter_defaults" run_gtest "FTDI to 16550A" "${e2e[@]}"
    ZR9_DEVICE_PAIR="$kAcm $kGadget $acm_defaults" run_gtest "CDC-ACM to gadget" "${e2e[@]}"

    # The port list over the fixed device table, as root and as a user
    # outside the dialout group.
    local table=$build/tests/e2e/device_table_tests outside=DeviceTable.AUserOutsideTheDevicesGroupIsToldToJoinIt
    run_gtest "device table" "$table" --gtest_filter=-$outside
    run_gtest "device table, user nobody" setpriv --reuid=65534 --regid=65534 --clear-groups \
        env HOME=/tmp "$table" --gtest_filter=$outside

    # Figures, no tests: the same round trips over a pseudo-terminal and over
    # the 16550A, whose transmitter QEMU paces at the divisor the tool sets.
    local bench=("$build/bench/zr9bench" --round-trips --repeat 10)
    echo "test-drivers: round trips in the guest, the simulated module paced at 9600 bit/s"
    echo "  the window on a pseudo-terminal:"
    "${bench[@]}" 2>&1 | grep -v '^Qt platform' | sed 's/^/    /' || true
    echo "  the window on the 16550A at 9600 bit/s, the module on the FTDI adapter:"
    ZR9_DEVICE_PAIR="$kUart $kAdapter $uart_defaults" "${bench[@]}" 2>&1 |
        grep -v '^Qt platform' | sed 's/^/    /' || true

    local total=$((passed + ${#failed[@]}))
    echo
    echo "$(( total ? 100 * passed / total : 0 ))% tests passed, ${#failed[@]} tests failed out of $total"
    if [ ${#failed[@]} -gt 0 ]; then
        echo "The following tests FAILED:"
        printf '\t%s\n' "${failed[@]}"
        printf '%s\n' "${failed[@]}" >"$results/failed"
    fi
    echo "drivers: $passed passed, ${#failed[@]} failed" | tee "$results/summary"
}

case "${1:-}" in
guest)
    # As the guest's init: always power off, whatever happened.
    trap 'sync; busybox poweroff -f' EXIT
    run_guest "$2"
    ;;
unplug | replug)
    plug "$1" "${2:-}"
    ;;
prepare)
    kernel=$(guest_kernel)
    guest_initramfs "$kernel" >/dev/null
    ;;
*)
    [ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
    run_host "$1"
    ;;
esac
