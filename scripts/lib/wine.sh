# Wine helpers for scripts/test, scripts/demo, scripts/bench and the CTest fixtures of the
# Windows tests (sourced, not run). One prefix per run; its wineserver is stopped when the
# run ends.

WINE_LOADER=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || true)

# wine_select_arch ARCH: the Wine that runs programs built for ARCH, x86_64 (the default,
# wine64) or i686 (32-bit Wine in the 32-bit runtime that scripts/setup prepared, in a
# WINEARCH=win32 prefix; WINE_ARCH_RUNTIME says what runs its i386 code). Without a 32-bit
# runtime it returns 1, the reason in WINE_ARCH_UNAVAILABLE. The wineserver is the machine's
# own in both: the same version serves 32-bit programs too.
wine_select_arch() {
  case $1 in
    x86_64)
      WINE_LOADER=/usr/lib/wine/wine64
      unset WINEARCH QEMU_LD_PREFIX ;;
    i686)
      local runtime=${CORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-installer}/runtime32
      if [ ! -f "$runtime/runtime.env" ]; then
        WINE_ARCH_UNAVAILABLE=$(cat "$runtime/unavailable" 2>/dev/null || echo "scripts/setup has not prepared one")
        return 1
      fi
      local RUNTIME32_KIND RUNTIME32_WINE RUNTIME32_LD_PREFIX
      # shellcheck source=/dev/null
      source "$runtime/runtime.env"
      WINE_LOADER=$RUNTIME32_WINE
      WINE_ARCH_RUNTIME=$RUNTIME32_KIND
      export WINEARCH=win32
      if [ -n "$RUNTIME32_LD_PREFIX" ]; then export QEMU_LD_PREFIX=$RUNTIME32_LD_PREFIX; fi ;;
    *) echo "wine_select_arch: unknown architecture $1" >&2; return 2 ;;
  esac
}

# Pinned so that every run sees the same ANSI code page (1252).
export LC_ALL=C.UTF-8 LANG=C.UTF-8
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# The keeper's process id lives in the prefix, so that a later process (a CTest cleanup
# fixture) can stop what an earlier one started.
wine_keeper_file() { printf '%s/.corvane-keeper' "$1"; }

# wine_keeper_running DIR: true while the keeper started for prefix DIR is alive.
wine_keeper_running() {
  local pid
  pid=$(cat "$(wine_keeper_file "$1")" 2>/dev/null) || return 1
  # Checked against the process's environment, so a reused process id is never taken for it.
  [ -n "$pid" ] && tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$1"
}

# wine_start_prefix DIR: makes a prefix there unless one is already made, and warms it, so
# that test programs start in a fraction of a second instead of waiting for Wine's helpers
# each time. Everything started here has its output on /dev/null: a helper that held the
# caller's pipes would keep the caller waiting.
wine_start_prefix() {
  export WINEPREFIX=$1
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE_LOADER" wineboot -i >/dev/null 2>&1 </dev/null
  fi
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  if ! wine_keeper_running "$WINEPREFIX"; then
    # One long-lived program keeps Wine's services up while the tests run.
    setsid "$WINE_LOADER" cmd /c "ping -n 86400 127.0.0.1 >nul" </dev/null >/dev/null 2>&1 &
    echo $! >"$(wine_keeper_file "$WINEPREFIX")"
  fi
  "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# wine_stop_prefix [DIR]: stops the wineserver of prefix DIR (default $WINEPREFIX), which
# ends every program of it, the keeper included.
wine_stop_prefix() {
  local prefix=${1:-${WINEPREFIX:-}}
  [ -n "$prefix" ] || return 0
  if [ -n "$WINESERVER" ]; then
    WINEPREFIX=$prefix "$WINESERVER" -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix "$WINESERVER" -w >/dev/null 2>&1 || true
  fi
  if wine_keeper_running "$prefix"; then
    kill "$(cat "$(wine_keeper_file "$prefix")")" 2>/dev/null || true
  fi
  rm -f "$(wine_keeper_file "$prefix")"
}
