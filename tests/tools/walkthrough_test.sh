#!/usr/bin/env bash
# Runs the own-server walk-through of docs/deploying.md exactly as written, in a scratch copy of the
# checkout (a link per top-level entry, so build/ and try/ are the scratch's own), on a
# free port instead of 8080, and checks what a newcomer should see.
#   walkthrough_test.sh REPOSITORY_ROOT
set -uo pipefail
root=$(cd "$1" && pwd)
# shellcheck source=doc_blocks.sh
source "$root/tests/tools/doc_blocks.sh"
scratch=$(mktemp -d /tmp/corvane-walkthrough.XXXXXX)
log=$scratch/walkthrough.log
cleanup() {
  # Whatever the block left running: its server, and the Wine of its own prefix.
  if [ -f "$scratch/server.pid" ]; then kill "$(cat "$scratch/server.pid")" 2>/dev/null || true; fi
  # (In a subshell: the walk-through itself runs without the scripts' Wine settings.)
  if [ -d "$scratch/try/wine" ]; then (source "$root/scripts/lib/wine.sh" && wine_stop_prefix "$scratch/try/wine"); fi
  [ -n "${KEEP_WALKTHROUGH:-}" ] && cp "$log" "$KEEP_WALKTHROUGH"
  rm -rf "$scratch"
}
trap cleanup EXIT

scratch_checkout "$root" "$scratch"
port=$(free_port)
doc_block "$root/docs/deploying.md" walkthrough | sed "s/8080/$port/g" >"$scratch/walkthrough.sh"
grep -q 'installer-host.exe' "$scratch/walkthrough.sh" || { echo "FAIL: no walk-through block found in docs/deploying.md"; exit 1; }
# The block's server pid is also kept for the clean-up, should a later command fail.
sed -i 's/^server=\$!$/server=$!; echo "$server" >server.pid/' "$scratch/walkthrough.sh"

started=$(date +%s)
(cd "$scratch" && bash -euo pipefail walkthrough.sh) >"$log" 2>&1
status=$?
tr -d '\r' <"$log" >"$log.unix" && mv "$log.unix" "$log"
echo "walk-through ran in $(( $(date +%s) - started )) s with status $status"

[ "$status" = 0 ] || fail "the block ended with status $status"
expect "the key tool says where the key belongs" "keep it on the component server only" "$log"
expect "publish prints the catalog lines" "^beta,beta.cab,sample_beta.dll,1.1.0.0,1,0$" "$log"
expect "the server says where it listens" "^listening on http://127.0.0.1:$port/" "$log"
results=$(grep -oE '^result: [01]$' "$log" | tr '\n' ' ')
[ "$results" = "result: 1 result: 0 result: 1 " ] || fail "results were '$results'"
expect "the host tells each named component's outcome" "^component beta: 0 \\(installed sample_beta.dll at 1.1.0.0\\)$" "$log"
expect "and that one was already current" "^component alpha: 100 \\(already installed at the catalog's version 1.0.0.0\\)$" "$log"
if grep -q 'warning:' "$log"; then fail "publish warned about the samples"; fi
installed=$scratch/try/wine/drive_c/Corvane
expect "the log shows the catalog read" "catalog .* read" "$log"
expect "the log shows the downloads" "download beta.cab: Success" "$log"
expect "the log shows the registrations" "registered .*sample_beta.dll" "$log"
if [ "$(cat "$installed/components.txt" 2>/dev/null)" != "$(printf 'alpha,,sample_alpha.dll,1.0.0.0,1,1\nbeta,,sample_beta.dll,1.1.0.0,1,0')" ]; then
  fail "components.txt is '$(cat "$installed/components.txt" 2>/dev/null)'"
fi

if [ "$failures" != 0 ]; then
  echo "--- walk-through output"; sed 's/^/    /' "$log" | tail -n 80
  echo "$failures check(s) failed"
  exit 1
fi
echo "walk-through: all checks passed"
