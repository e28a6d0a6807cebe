#!/usr/bin/env bash
# Runs the tests of a MinGW cross build (cmake/mingw-w64-x86_64.cmake) under
# Wine, in a throw-away Wine prefix whose COM ports are pseudo-terminals:
# COM9, COM10 and COM31 are one end of a null-modem pair made by socat, COM30
# the other end; COM11 and COM29 are a second pair whose COM11 end keeps the
# kernel's settings for a new terminal, as a freshly plugged adapter has it.
# Every other COM name is left unlinked.
#   usage: tools/run-wine-tests.sh BUILD_DIR [ctest arguments...]
set -euo pipefail

build_dir=$(realpath "${1:?usage: $0 BUILD_DIR [ctest arguments...]}")
shift

for tool in socat ctest; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (make test-windows installs it)" >&2; exit 1; }
done
# shellcheck source=tools/wine-prefix.sh
. "$(dirname "$0")/wine-prefix.sh"
# No window: the tests run without a display.
unset DISPLAY WAYLAND_DISPLAY

socat_pids=()
cleanup() {
  for pid in "${socat_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
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
for link in port peer fresh fresh-peer; do
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

cd "$build_dir"
ctest --output-on-failure "$@"
