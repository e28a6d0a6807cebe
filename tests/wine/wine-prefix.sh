# Sourced by the scripts that run Windows programs under Wine: a throw-away
# Wine prefix in which no COM name leads to a real serial device.
#   wine_prefix_prepare: makes the prefix (WINEPREFIX) and keeps its
#     wineserver running, with COM1 to COM31 unlinked;
#   wine_prefix_check: fails when a COM name leads to a real serial device;
#   wine_prefix_remove: ends the prefix's Wine processes and removes it.

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

wine_prefix_prepare() {
  local tool n
  for tool in "$wine" "$wineserver"; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing" >&2; return 1; }
  done
  zr9_wine_prefix=$(mktemp -d /tmp/zr9-wine.XXXXXX)
  export WINEPREFIX=$zr9_wine_prefix
  # No Mono or Gecko install prompts, no Wine debug chatter.
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  local dosdevices=$WINEPREFIX/dosdevices

  echo "Preparing Wine in $WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w

  # At every start Wine links the machine's serial devices as COM1, COM2 and
  # so on; here /dev/ttyS0 is the machine's console and must never be opened.
  # Wine skips a COM name that a directory occupies, so COM1 to COM31 are
  # blocked while Wine starts for good (persistent, so it does not link them
  # again), then freed for the links to pseudo-terminals.
  for n in $(seq 1 31); do
    rm -f "$dosdevices/com$n"
    mkdir "$dosdevices/com$n"
  done
  "$wineserver" -p >/dev/null 2>&1
  "$wine" cmd /c exit >/dev/null 2>&1
  for n in $(seq 1 31); do
    rmdir "$dosdevices/com$n"
  done
  wine_prefix_check
}

wine_prefix_check() {
  if find "$WINEPREFIX/dosdevices" -maxdepth 1 -type l -lname '/dev/tty[SUA]*' | grep -q .; then
    echo "$0: Wine linked a real serial device; giving up" >&2
    return 1
  fi
}

# Only the prefix made here, never one from the environment.
wine_prefix_remove() {
  if [ -n "${zr9_wine_prefix:-}" ] && [ -d "$zr9_wine_prefix" ]; then
    WINEPREFIX=$zr9_wine_prefix "$wineserver" -k 2>/dev/null || true
    rm -rf "$zr9_wine_prefix"
  fi
}
