#!/usr/bin/env bash
# Runs the window of the Windows zip under Wine on a virtual display against
# simulated modules (tests/e2e/wine_window_tests.cpp), in a throw-away Wine
# prefix where the only COM ports are the simulators' pseudo-terminals.
#   usage: tests/wine/run-wine-window-tests.sh ZIP TEST_PROGRAM [GoogleTest options...]
# With ZR9_WINE_SCREENSHOT=FILE.png it also saves the window as it first opens.
set -euo pipefail

zip=$(realpath "${1:?usage: $0 ZIP TEST_PROGRAM [GoogleTest options...]}")
tests=$(realpath "${2:?usage: $0 ZIP TEST_PROGRAM [GoogleTest options...]}")
shift 2

for tool in unzip xvfb-run xdotool xclip import; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (make test-windows installs it)" >&2; exit 1; }
done

# Wine's windows need an X display: a virtual one, wide enough for the
# window at its designed place.
if [ -z "${ZR9_WINE_DISPLAY_READY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" \
    env ZR9_WINE_DISPLAY_READY=1 "$0" "$zip" "$tests" "$@"
fi

# shellcheck source=tests/wine/wine-prefix.sh
. "$(dirname "$0")/wine-prefix.sh"
trap wine_prefix_remove EXIT
wine_prefix_prepare

# As a Windows user has it: the zip unpacked into a folder of drive C.
unzip -q "$zip" -d "$WINEPREFIX/drive_c"
program=$(find "$WINEPREFIX/drive_c" -maxdepth 2 -name zr9config.exe | head -n 1)
[ -n "$program" ] || { echo "$0: no zr9config.exe in $zip" >&2; exit 1; }

status=0
ZR9_WINE_PROGRAM=$program "$tests" "$@" || status=$?
# The tests link COM ports to pseudo-terminals only; make sure nothing else did.
wine_prefix_check
exit "$status"
