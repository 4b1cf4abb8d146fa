# Wine helpers for scripts/test, scripts/demo and scripts/bench (sourced, not run).
# One throwaway prefix per run; its wineserver is stopped when the run ends.

WINE_LOADER=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || true)

# Pinned so that every run sees the same ANSI code page (1252).
export LC_ALL=C.UTF-8 LANG=C.UTF-8
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

wine_keeper_pid=

# wine_start_prefix DIR: makes a fresh prefix there and warms it, so that test programs
# start in a fraction of a second instead of waiting for Wine's helpers each time.
wine_start_prefix() {
  export WINEPREFIX=$1
  mkdir -p "$WINEPREFIX"
  "$WINE_LOADER" wineboot -i >/dev/null 2>&1 </dev/null
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  # One long-lived program keeps Wine's services up while the tests run.
  setsid "$WINE_LOADER" cmd /c "ping -n 86400 127.0.0.1 >nul" </dev/null >/dev/null 2>&1 &
  wine_keeper_pid=$!
  "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_stop_prefix() {
  if [ -n "${WINEPREFIX:-}" ] && [ -n "$WINESERVER" ]; then
    WINEPREFIX=$WINEPREFIX "$WINESERVER" -k >/dev/null 2>&1 || true
    WINEPREFIX=$WINEPREFIX "$WINESERVER" -w >/dev/null 2>&1 || true
  fi
  if [ -n "$wine_keeper_pid" ]; then
    kill "$wine_keeper_pid" 2>/dev/null || true
    wait "$wine_keeper_pid" 2>/dev/null || true
    wine_keeper_pid=
  fi
}
