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
# the FTDI adapter fails as a harness error, one plain scenario fails on
# purpose and the batch's module on COM2 is silent. The run must then end
# non-zero and name all three.
#
# The guest runs Debian's kernel with the host's root file system, read-only,
# as its own, so it runs the build tree's programs. QEMU gets no device of
# this machine: its serial lines are socket chardevs and its console is
# stdio. The guest boots twice, its lines joined on the host into null-modem
# lines in two ways: for the scenarios, its ttyS1 and its FTDI adapter with
# each other; for the batch, each of them with a further FTDI adapter. The
# simulated modules and the tool all run in the guest.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/zr9config

# QEMU's USB serial adapters, as the guest's sysfs shows them: the one the
# tool uses, and for the batch one at the far end of each of its lines.
readonly kAdapterSerial=ZR9TEST0001 kUartModuleSerial=ZR9TEST0002 kAdapterModuleSerial=ZR9TEST0003
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

# Boots the guest for one phase, named to it on the kernel's command line,
# with the devices given after it. Its sockets and results are in
# $work/PHASE; `guest` gets QEMU's process id, `guest_started` the time.
start_guest() {
    local phase=$1
    shift
    mkdir -p "$work/$phase/results"
    # Nothing of this machine's: sockets, and the guest's console on stdio.
    # -serial stdio comes first, so the console is the guest's own ttyS0.
    qemu-system-x86_64 -machine q35,accel=tcg -m 1024 -smp 2 \
        -nodefaults -no-user-config -display none -no-reboot \
        -bios /usr/share/qemu/qboot.rom -kernel "$kernel/vmlinux" -initrd "$initramfs" \
        -append "console=ttyS0,115200 quiet loglevel=2 panic=-1 zr9_phase=$phase zr9_source=$source zr9_build=$build zr9_plant_failure=${ZR9_DRIVERS_PLANT_FAILURE:-0}" \
        -serial stdio "$@" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$work/$phase/results,mount_tag=results,security_model=none" \
        </dev/null > >(tee "$work/$phase/console.log") &
    guest=$!
    guest_started=$(date +%s)
    pids+=("$guest")
}

# Joins two of the guest's socket chardevs, as a null-modem line or the
# harness's way to the monitor. Complaints when QEMU closes the sockets at the
# end are of no interest.
join() {
    wait_for_file "$1" && wait_for_file "$2" ||
        { echo "test-drivers: QEMU did not start" >&2; exit 1; }
    socat "UNIX-CONNECT:$1" "UNIX-CONNECT:$2" 2>/dev/null &
    pids+=($!)
}

# Waits until the guest of `phase` powers off (or the run's time is up) and
# adds its counts to the run's.
await_guest() {
    local phase=$1 summary phase_passed phase_failed
    while kill -0 "$guest" 2>/dev/null && [ "$(date +%s)" -lt $limit ]; do
        sleep 1
    done
    kill "$guest" 2>/dev/null || true
    echo "test-drivers: the $phase guest ran $(($(date +%s) - guest_started)) s"
    summary=$(cat "$work/$phase/results/summary" 2>/dev/null || true)
    phase_passed=$(sed -n 's/^drivers, [a-z]*: \([0-9][0-9]*\) passed, [0-9][0-9]* failed$/\1/p' <<<"$summary")
    phase_failed=$(sed -n 's/^drivers, [a-z]*: [0-9][0-9]* passed, \([0-9][0-9]*\) failed$/\1/p' <<<"$summary")
    if [ -z "$phase_passed" ] || [ -z "$phase_failed" ]; then
        echo "test-drivers: the guest's $phase ended without results"
        failed+=("the guest's $phase ended without results")
        return
    fi
    passed=$((passed + phase_passed))
    if [ -s "$work/$phase/results/failed" ]; then
        mapfile -t -O ${#failed[@]} failed <"$work/$phase/results/failed"
    elif [ "$phase_failed" -gt 0 ]; then
        failed+=("$phase: $phase_failed failed")
    fi
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
    pids=()
    trap cleanup EXIT
    trap 'exit 1' INT TERM

    local started limit guest guest_started passed=0 failed=()
    started=$(date +%s)
    # The guest powers off when it is done; this bounds a guest that hangs.
    limit=$((started + ${ZR9_DRIVERS_TIME_LIMIT:-900}))

    # The scenarios: the guest's ttyS1 and its FTDI adapter joined into one
    # null-modem line (the adapter attaches once its chardev is connected),
    # the CDC-ACM gadget inside the guest, and QEMU's monitor, which the
    # guest's harness reaches through a virtio port to unplug the adapter.
    local dir=$work/scenarios
    start_guest scenarios \
        -chardev "socket,id=uart,path=$dir/uart.sock,server=on,wait=off" -serial chardev:uart \
        -device qemu-xhci,id=xhci \
        -chardev "socket,id=adapter,path=$dir/adapter.sock,server=on,wait=off" \
        -device "usb-serial,id=adapter,bus=xhci.0,chardev=adapter,serial=$kAdapterSerial" \
        -device virtio-serial-pci \
        -chardev "socket,id=control,path=$dir/control.sock,server=on,wait=off" \
        -device virtserialport,chardev=control,name=zr9.monitor \
        -monitor "unix:$dir/monitor.sock,server=on,wait=off"
    join "$dir/uart.sock" "$dir/adapter.sock"
    join "$dir/control.sock" "$dir/monitor.sock"
    await_guest scenarios

    # The batch, on ttyS1 and the FTDI adapter at once: each line leads to a
    # further FTDI adapter of its own, where a simulated module answers.
    dir=$work/batch
    local device
    local devices=(-chardev "socket,id=uart,path=$dir/uart.sock,server=on,wait=off" -serial chardev:uart
        -device "qemu-xhci,id=xhci")
    for device in adapter:$kAdapterSerial uartmodule:$kUartModuleSerial adaptermodule:$kAdapterModuleSerial; do
        devices+=(-chardev "socket,id=${device%:*},path=$dir/${device%:*}.sock,server=on,wait=off"
            -device "usb-serial,id=${device%:*},bus=xhci.0,chardev=${device%:*},serial=${device#*:}")
    done
    start_guest batch "${devices[@]}"
    join "$dir/uart.sock" "$dir/uartmodule.sock"
    join "$dir/adapter.sock" "$dir/adaptermodule.sock"
    await_guest batch

    # Only a run that passed something and failed nothing passes.
    echo "drivers: $passed passed, ${#failed[@]} failed"
    if [ "$passed" -eq 0 ] || [ ${#failed[@]} -ne 0 ]; then
        printf 'test-drivers: failed: %s\n' "${failed[@]}"
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

# What a desktop session would give the tool and the tests.
guest_environment() {
    export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    export HOME=/tmp/home TMPDIR=/tmp XDG_RUNTIME_DIR=/tmp/runtime QT_QPA_PLATFORM=offscreen
    mkdir -p "$HOME" && mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
    echo "test-drivers: guest up after $(cut -d' ' -f1 /proc/uptime) s"
}

# The phase's counts, the failed tests named, to the console and the results.
report() {
    local phase=$1 total=$((passed + ${#failed[@]}))
    echo
    echo "$(( total ? 100 * passed / total : 0 ))% tests passed, ${#failed[@]} tests failed out of $total"
    if [ ${#failed[@]} -gt 0 ]; then
        echo "The following tests FAILED:"
        printf '\t%s\n' "${failed[@]}"
        printf '%s\n' "${failed[@]}" >"$results/failed"
    fi
    echo "drivers, $phase: $passed passed, ${#failed[@]} failed" | tee "$results/summary"
}

run_guest() {
    local build=$1
    # Tests in the guest unplug and replug through "$ZR9_DRIVERS_HARNESS unplug $kAdapter" and the like.
    export ZR9_DRIVERS_GUEST=1 ZR9_DRIVERS_HARNESS=$0
    guest_environment

    make_gadget
    wait_until present $kAdapter && wait_until present $kAcm && wait_until present $kGadget ||
        { failed+=("scenarios: the guest's devices did not appear"); report scenarios; return; }
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
    # attempt with a box differ from a Connect's only in their bytes. The
    # production window's need up to four ports (the batch below runs the
    # same engine over the drivers).
    local e2e=("$build/tests/e2e/e2e_tests"
        --gtest_filter=-EndToEnd.PortList*:EndToEnd.*Password*:EndToEnd.VersionError*:EndToEnd.SilentModule*:ProductionWindow.*)
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

    report scenarios
}

# Runs `command` every 0.1 s until it succeeds, for at most `seconds`; the
# emulated processor is slow to start programs, so counting tries would not do.
poll_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# The USB serial adapter with this serial number, as /dev/ttyUSBn.
usb_serial_device() {
    local port
    for port in /sys/bus/usb-serial/devices/ttyUSB*; do
        # The port's interface, then its USB device.
        if [ "$(cat "$port/../../serial" 2>/dev/null)" = "$1" ]; then
            echo "/dev/${port##*/}"
            return 0
        fi
    done
    return 1
}

# zr9ctl batch on COM2 (the 16550A) and the FTDI adapter at once, a module at
# the far end of each line on an FTDI adapter of its own, paced at 9600 bit/s.
# Each module must be configured once, with its own address on its own port,
# and not again when it answers after its reboot; Ctrl+C then ends the batch
# with its summary and status 0. A planted failure makes COM2's module silent.
run_batch_guest() {
    local build=$1 tool_adapter uart_module adapter_module
    guest_environment
    adapters_found() {
        tool_adapter=$(usb_serial_device $kAdapterSerial) &&
            uart_module=$(usb_serial_device $kUartModuleSerial) &&
            adapter_module=$(usb_serial_device $kAdapterModuleSerial)
    }
    if ! poll_until 10 adapters_found; then
        failed+=("batch: the guest's FTDI adapters did not appear")
        report batch
        return
    fi
    own_devices
    local tool_com=COM$((5 + ${tool_adapter#/dev/ttyUSB}))
    echo "test-drivers: batch on COM2 ($kUart) and $tool_com ($tool_adapter)," \
        "modules on $uart_module and $adapter_module"

    # The default profile after its address, which the CSV shows byte-reversed.
    local rest=42313030423230314232303236383734383635383437000107010000424C45205541525400000000000000000000000000000000
    local com module address silent sims=() expected=()
    for com in COM2:$uart_module $tool_com:$adapter_module; do
        module=${com#*:} com=${com%:*}
        address=$(printf '00A0C0FFEE%02d' "${com#COM}")
        silent=()
        [ "$com:${zr9_plant_failure:-0}" != COM2:1 ] || silent=(--silent)
        "$build/sim/zr9-module-sim" --parent $$ --device "$module" --line-rate 9600 "${silent[@]}" \
            --profile "$(printf %s "$address" | od -An -tx1 | tr -d ' \n')$rest" \
            --transcript "$results/module-$com.transcript" >"$results/module-$com.out" 2>&1 &
        sims+=($!)
        expected+=("$com,$(sed 's/\(..\)\(..\)\(..\)\(..\)\(..\)\(..\)/\6:\5:\4:\3:\2:\1/' <<<"$address")")
    done
    # Each prints its device twice once it serves it.
    modules_started() { [ "$(cat "$results"/module-*.out | wc -l)" -ge 4 ]; }
    poll_until 10 modules_started || true

    local log=$results/batch.csv started batch status=0 rows
    started=$(date +%s%N)
    "$build/ctl/zr9ctl" batch - --port COM2 --port "$tool_com" --set "Device Name=Bench {n}" \
        --log "$log" 2>"$results/batch.err" &
    batch=$!
    both_configured() { [ "$(grep -c ',ok,' "$log" 2>/dev/null)" = 2 ]; }
    batch_ended() { ! kill -0 $batch 2>/dev/null; }
    poll_until 30 both_configured || true
    # Both modules answer again after their reboot: neither may be configured twice.
    sleep 3
    kill -INT $batch
    poll_until 10 batch_ended || kill -KILL $batch 2>/dev/null || true
    wait $batch || status=$?
    kill "${sims[@]}" 2>/dev/null || true

    local reasons=() row n numbers=
    [ $status -eq 0 ] || reasons+=("zr9ctl batch ended with status $status")
    # A settings row, then a writing row before each ok or failed one.
    rows=$(grep -c -E ',(ok|failed),' "$log" 2>/dev/null || true)
    [ "$rows" -eq 2 ] || reasons+=("${rows:-0} ok or failed rows instead of 2")
    for row in "${expected[@]}"; do
        com=${row%%,*}
        # Its own address on its own port, named after its own number.
        n=$(sed -nE "s/^[^,]*,$com,([0-9]+),${row#*,},,[0-9.]+,Bench \\1,ok,\$/\\1/p" "$log")
        [ -n "$n" ] || reasons+=("no ok row for $com's module (${row#*,})")
        numbers+=${n:+ $n}
        module=$results/module-$com.transcript
        [ "$(grep -c -- '-- write: profile replaced' "$module" 2>/dev/null)" = 1 ] ||
            reasons+=("$com's module was not written exactly once")
        [ "$(grep -c -- '-- reboot' "$module" 2>/dev/null)" = 1 ] ||
            reasons+=("$com's module was not rebooted exactly once")
    done
    [ "$(tr ' ' '\n' <<<"$numbers" | sort -n | tr '\n' ' ')" = " 1 2 " ] ||
        reasons+=("numbers${numbers:- none} instead of 1 and 2")
    grep -q '^zr9ctl: batch ended: 2 configured, 0 not configured$' "$results/batch.err" ||
        reasons+=("no summary of 2 configured")

    local name="COM2 and $tool_com at once"
    if [ ${#reasons[@]} -eq 0 ]; then
        passed=$((passed + 1))
        printf '  Passed   batch: %s (%s ms)\n' "$name" $((($(date +%s%N) - started) / 1000000))
        sed 's/^/    /' "$log" "$results/batch.err"
    else
        local joined
        printf -v joined '%s; ' "${reasons[@]}"
        failed+=("batch: $name: ${joined%; }")
        printf '  FAILED   batch: %s\n' "$name"
        printf '    %s\n' "${reasons[@]}"
        sed 's/^/    /' "$log" "$results/batch.err" 2>/dev/null || true
    fi
    report batch
}

case "${1:-}" in
guest)
    # As the guest's init: always power off, whatever happened.
    trap 'sync; busybox poweroff -f' EXIT
    case ${zr9_phase:-} in
    batch) run_batch_guest "$2" ;;
    *) run_guest "$2" ;;
    esac
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
