#!/usr/bin/env bash
# Runs a Windows program under Wine, headless and quiet, in a Wine prefix of its own that is made
# on first use: QEL_WINEPREFIX, or qel-wineprefix-<uid> in $TMPDIR (or /tmp).
# Usage: scripts/wine-run.sh PROGRAM.exe [ARGUMENTS...]; the exit status is the program's.
set -euo pipefail
export WINEPREFIX=${QEL_WINEPREFIX:-${TMPDIR:-/tmp}/qel-wineprefix-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
if [ ! -f "$WINEPREFIX/.qel-ready" ]; then
  mkdir -p "$WINEPREFIX"
  # Two test programs started at once make the prefix once.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.qel-ready" ]; then
      "$wine" wineboot -i >"$WINEPREFIX/.qel-wineboot.log" 2>&1
      wineserver=/usr/lib/wine/wineserver64
      [ -x "$wineserver" ] || wineserver=wineserver
      "$wineserver" -w
      touch "$WINEPREFIX/.qel-ready"
    fi
  ) 9>"$WINEPREFIX/.qel-lock"
fi
exec "$wine" "$@"
