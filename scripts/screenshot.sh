#!/bin/sh
# Takes a screenshot of the real window under Xvfb, with simulated modules on
# pseudo-terminals in a temporary port folder (never a real port).
# usage: scripts/screenshot.sh BUILD_DIR OUTPUT.png
#          the main window, a module on COM3
#        scripts/screenshot.sh BUILD_DIR OUTPUT.png --production
#          the production window during a run on COM3 to COM6, set up and
#          started from the keyboard
set -eu
build_dir=$1
output=$2
mode=${3:-}

port_dir=$(mktemp -d /tmp/zr9-screenshot-XXXXXX)
sim_pids=""
trap 'kill $sim_pids 2>/dev/null || true; rm -rf "$port_dir"' EXIT
sim() {
  com=$1
  shift
  "$build_dir/sim/zr9-module-sim" --port-dir "$port_dir" --com "$com" "$@" >/dev/null 2>&1 &
  sim_pids="$sim_pids $!"
}

if [ "$mode" != --production ]; then
  sim 3
  sleep 1
  ZR9_PORT_DIR=$port_dir xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    "$1/app/zr9config" 2>/dev/null &
    app_pid=$!
    sleep 3
    # The window stands at its designed place, 342,133, without a frame here.
    xwd -root -silent | convert xwd:- -crop 459x526+342+133 +repage "png:$2"
    kill "$app_pid"
  ' sh "$build_dir" "$output"
  echo "wrote $output"
  exit 0
fi

# Four ports as an operator meets them: a module configured and waiting to
# be taken off, one slow to answer (2400 bit/s, 0.5 s before each Read's
# answer), one refusing the password, and a port waiting for its module.
sim 3
sim 4 --line-rate 2400 --read-delay 500
sim 5 --refuse
sim 6 --silent
printf 'zr9-profile 1\nBaud Rate = 115200 BPS\nBonding = yes\n' >"$port_dir/pumps.zr9"
sleep 1
ZR9_PORT_DIR=$port_dir xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
  "$1/app/zr9config" --production "$3/pumps.zr9" 2>/dev/null &
  app_pid=$!
  sleep 3
  # No window manager gives it the focus here.
  window=$(xdotool search --onlyvisible --name "^ZR9 Production\$" | head -n 1)
  xdotool windowfocus --sync "$window"
  # The set-up from the keyboard: the four ports (Alt+O, then Space and
  # Down), a new log (Alt+L), Start (Alt+S).
  xdotool key --delay 50 alt+o space Down space Down space Down space alt+l
  xdotool type --delay 20 "$3/pumps.csv"
  sleep 1
  xdotool key alt+s
  # While the slow module is in the middle of its steps.
  sleep 1.5
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xwd -root -silent | convert xwd:- -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "png:$2"
  kill "$app_pid"
' sh "$build_dir" "$output" "$port_dir"
echo "wrote $output"
