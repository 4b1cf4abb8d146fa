# Crash-consistency runs (sourced, not run): the control of the x86_64 test tree is killed
# at every file-system mutation of a set of UpdateComponents calls, each followed by the
# same call uninterrupted; prints the table of kill points and invariant failures.

# crash_run BUILD_DIR: in the current Wine prefix, against the running component server.
crash_run() {
  local runner="$1/tests/crash/crash_harness.exe"
  if [ ! -f "$runner" ]; then
    echo "no crash runner in $1: configure it with -DCORVANE_CRASH_POINTS=ON" >&2
    return 1
  fi
  "$WINE_LOADER" "$runner" --gtest_brief=1 </dev/null
}
