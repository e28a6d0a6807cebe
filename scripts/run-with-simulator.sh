#!/bin/sh
# `make run`: the window against a simulated module on COM3.
#   run-with-simulator.sh --check-display   fails with one line when there is no display
#   run-with-simulator.sh BUILD_DIR         starts the module, opens the window, stops
#                                           the module when the window closes
set -eu

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "make run: no display (DISPLAY and WAYLAND_DISPLAY are unset); run it on a virtual display with: xvfb-run -a make run" >&2
    exit 1
fi
[ "$1" = "--check-display" ] && exit 0

build_dir=$1
port_dir=$(mktemp -d "${TMPDIR:-/tmp}/zr9-ports-XXXXXX")
sim_pid=""
stop_module() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$port_dir"
}
trap stop_module EXIT
trap 'exit 130' INT TERM

"$build_dir/sim/zr9-module-sim" --port-dir "$port_dir" --com 3 >"$port_dir/module.out" &
sim_pid=$!
# It prints the link once the port exists.
tries=0
until [ -s "$port_dir/module.out" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "make run: the simulated module did not start" >&2
        exit 1
    fi
    sleep 0.1
done

echo "Simulated module on COM3, password 6874 (port folder $port_dir)."
echo "In the window: open the port list, pick COM3, Connect, Read, edit, Write. Close the window to stop."
echo "The command line meanwhile, in another terminal: ZR9_PORT_DIR=$port_dir $build_dir/ctl/zr9ctl read COM3"
ZR9_PORT_DIR="$port_dir" "$build_dir/app/zr9config"
