#!/bin/sh
# Takes a screenshot of the real window under Xvfb, with a simulated module on
# a pseudo-terminal as COM3 in a temporary port folder (never a real port).
# usage: scripts/screenshot.sh BUILD_DIR OUTPUT.png
set -eu
build_dir=$1
output=$2

port_dir=$(mktemp -d /tmp/zr9-screenshot-XXXXXX)
"$build_dir/sim/zr9-module-sim" --port-dir "$port_dir" --com 3 >/dev/null 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; rm -rf "$port_dir"' EXIT

ZR9_PORT_DIR=$port_dir xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  "$1/app/zr9config" 2>/dev/null &
  app_pid=$!
  sleep 3
  # The window stands at its designed place, 342,133, without a frame here.
  xwd -root -silent | convert xwd:- -crop 459x526+342+133 +repage "png:$2"
  kill "$app_pid"
' sh "$build_dir" "$output"
echo "wrote $output"
