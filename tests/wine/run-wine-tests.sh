#!/usr/bin/env bash
# Runs the tests of a MinGW cross build (cmake/mingw-w64-x86_64.cmake) under
# Wine, in a throw-away Wine prefix whose COM ports are pseudo-terminals:
# COM9, COM10 and COM31 are one end of a null-modem pair made by socat, COM30
# the other end; COM11 and COM29 are a second pair whose COM11 end keeps the
# kernel's settings for a new terminal, as a freshly plugged adapter has it.
# COM28 is a terminal that the kernel hangs up, as when an adapter is
# unplugged, once the file that ZR9_HANGUP_FILE names (for Windows) exists.
# Every other COM name is left unlinked.
# With ZR9_SIM naming a native zr9-module-sim, zr9ctl.exe batch then runs on
# COM5 and COM6, two simulated modules whose terminals only the Wine prefix's
# links name (the device map does not list them), and each must get its row;
# a batch naming an unlinked COM12 too must end with status 3 at the start.
#   usage: tests/wine/run-wine-tests.sh BUILD_DIR [ctest arguments...]
set -euo pipefail

build_dir=$(realpath "${1:?usage: $0 BUILD_DIR [ctest arguments...]}")
shift
# The simulator is started after the working folder has changed to BUILD_DIR.
[ -z "${ZR9_SIM:-}" ] || ZR9_SIM=$(realpath "$ZR9_SIM")

for tool in socat ctest; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (make test-windows installs it)" >&2; exit 1; }
done
# shellcheck source=tests/wine/wine-prefix.sh
. "$(dirname "$0")/wine-prefix.sh"
# No window: the tests run without a display.
unset DISPLAY WAYLAND_DISPLAY

socat_pids=()
sim_pids=()
cleanup() {
  for pid in "${socat_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wine_prefix_remove
}
trap cleanup EXIT

wine_prefix_prepare
dosdevices=$WINEPREFIX/dosdevices
port_names=(com9 com10 com31)
peer_name=com30

# The null-modem pairs: socat copies between two pseudo-terminals.
pair_dir=$WINEPREFIX/pair
mkdir "$pair_dir"
socat PTY,link="$pair_dir/port",raw,echo=0 PTY,link="$pair_dir/peer",raw,echo=0 &
socat_pids+=($!)
socat PTY,link="$pair_dir/fresh" PTY,link="$pair_dir/fresh-peer",raw,echo=0 &
socat_pids+=($!)
# socat closes the terminal's other end once the loop ends, so the kernel hangs
# it up; the loop also ends with the prefix, whether the test ran or not.
socat PTY,link="$pair_dir/gone",raw,echo=0 \
  SYSTEM:"while [ -d '$pair_dir' ] && [ ! -e '$pair_dir/hangup' ]; do sleep 0.05; done" &
socat_pids+=($!)
export ZR9_HANGUP_FILE="Z:${pair_dir//\//\\}\\hangup"
for link in port peer fresh fresh-peer gone; do
  for _ in $(seq 1 100); do
    [ -e "$pair_dir/$link" ] && break
    sleep 0.05
  done
done
for name in "${port_names[@]}"; do
  ln -s "$(readlink "$pair_dir/port")" "$dosdevices/$name"
done
ln -s "$(readlink "$pair_dir/peer")" "$dosdevices/$peer_name"
ln -s "$(readlink "$pair_dir/fresh")" "$dosdevices/com11"
ln -s "$(readlink "$pair_dir/fresh-peer")" "$dosdevices/com29"
ln -s "$(readlink "$pair_dir/gone")" "$dosdevices/com28"

cd "$build_dir"
status=0
ctest --output-on-failure "$@" || status=$?

if [ -n "${ZR9_SIM:-}" ]; then
  echo "zr9ctl.exe batch on two simulated modules"
  sim_dir=$WINEPREFIX/sim
  mkdir "$sim_dir"
  # The default profile after its own address.
  rest=42313030423230314232303236383734383635383437000107010000424C45205541525400000000000000000000000000000000
  for com in 5 6; do
    address=$(printf 'WINE0000000%d' "$com" | od -An -tx1 | tr -d ' \n')
    "$ZR9_SIM" --port-dir "$sim_dir" --com "$com" --profile "$address$rest" \
      --parent $$ >"$sim_dir/sim$com.out" 2>/dev/null &
    sim_pids+=($!)
    for _ in $(seq 1 100); do
      [ "$(wc -l <"$sim_dir/sim$com.out")" -ge 2 ] && break
      sleep 0.05
    done
    slave=$(sed -n 2p "$sim_dir/sim$com.out")
    [ -n "$slave" ] || { echo "zr9ctl.exe batch FAILED: the simulated module on COM$com did not start" >&2; exit 1; }
    ln -s "$slave" "$dosdevices/com$com"
  done
  log=$sim_dir/batch.csv
  "$wine" ctl/zr9ctl.exe batch - --port COM5 --port COM6 --log "$log" \
    --set "Device Name=Wine {n}" 2>"$sim_dir/batch.err" &
  batch_pid=$!
  for _ in $(seq 1 600); do
    [ "$(grep -c ',ok,' "$log" 2>/dev/null)" = 2 ] && break
    sleep 0.1
  done
  kill -INT "$batch_pid" 2>/dev/null || true
  sleep 2
  kill -KILL "$batch_pid" 2>/dev/null || true
  wait "$batch_pid" 2>/dev/null || true
  rows=$(grep -c ',ok,' "$log" 2>/dev/null || true)
  if [ "$rows" = 2 ] && grep -q ',COM5,[12],.*,Wine [12],ok,' "$log" &&
      grep -q ',COM6,[12],.*,Wine [12],ok,' "$log"; then
    echo "zr9ctl.exe batch: both modules configured once"
    sed 's/^/  /' "$sim_dir/batch.err"
  else
    echo "zr9ctl.exe batch FAILED: ${rows:-0} ok rows" >&2
    cat "$log" "$sim_dir/batch.err" >&2 || true
    status=1
  fi
  # A port that is not there at the start: opening it says so, status 3.
  missing=0
  timeout 60 "$wine" ctl/zr9ctl.exe batch - --port COM5 --port COM12 2>"$sim_dir/missing.err" || missing=$?
  if [ "$missing" = 3 ] && grep -q "COM12 could not be opened: not there; nothing was sent" "$sim_dir/missing.err"; then
    echo "zr9ctl.exe batch: a missing port refused at the start"
  else
    echo "zr9ctl.exe batch FAILED: a missing port at the start gave status $missing" >&2
    cat "$sim_dir/missing.err" >&2 || true
    status=1
  fi
fi
exit "$status"
