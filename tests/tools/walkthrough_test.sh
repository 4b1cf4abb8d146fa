#!/usr/bin/env bash
# Runs the own-server walk-through of docs/deploying.md exactly as written, in a scratch copy of the
# checkout (a link per top-level entry, so build/ and try/ are the scratch's own), on a
# free port instead of 8080, and checks what a newcomer should see.
#   walkthrough_test.sh REPOSITORY_ROOT
set -uo pipefail
root=$(cd "$1" && pwd)
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

for entry in $(git -C "$root" ls-files | cut -d/ -f1 | sort -u); do ln -s "$root/$entry" "$scratch/$entry"; done
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -n '/^<!-- walkthrough -->$/,/^<!-- \/walkthrough -->$/p' "$root/docs/deploying.md" | sed '1,2d;$d' | sed '$d' |
  sed "s/8080/$port/g" >"$scratch/walkthrough.sh"
grep -q 'installer-host.exe' "$scratch/walkthrough.sh" || { echo "FAIL: no walk-through block found in docs/deploying.md"; exit 1; }
# The block's server pid is also kept for the clean-up, should a later command fail.
sed -i 's/^server=\$!$/server=$!; echo "$server" >server.pid/' "$scratch/walkthrough.sh"

started=$(date +%s)
(cd "$scratch" && bash -euo pipefail walkthrough.sh) >"$log" 2>&1
status=$?
tr -d '\r' <"$log" >"$log.unix" && mv "$log.unix" "$log"
echo "walk-through ran in $(( $(date +%s) - started )) s with status $status"

failures=0
expect() {  # expect DESCRIPTION PATTERN: the pattern must be in the output
  if ! grep -qE -- "$2" "$log"; then echo "FAIL: $1 (no line matching '$2')"; failures=$((failures + 1)); fi
}
[ "$status" = 0 ] || { echo "FAIL: the block ended with status $status"; failures=$((failures + 1)); }
expect "the key tool says where the key belongs" "keep it on the component server only"
expect "publish prints the catalog lines" "^beta,beta.cab,sample_beta.dll,1.1.0.0,1,0$"
expect "the server says where it listens" "^listening on http://127.0.0.1:$port/"
results=$(grep -oE '^result: [01]$' "$log" | tr '\n' ' ')
[ "$results" = "result: 1 result: 0 result: 1 " ] || { echo "FAIL: results were '$results'"; failures=$((failures + 1)); }
expect "the host tells each named component's outcome" "^component beta: 0 \\(installed sample_beta.dll at 1.1.0.0\\)$"
expect "and that one was already current" "^component alpha: 100 \\(already installed at the catalog's version 1.0.0.0\\)$"
if grep -q 'warning:' "$log"; then echo "FAIL: publish warned about the samples"; failures=$((failures + 1)); fi
installed=$scratch/try/wine/drive_c/Corvane
expect "the log shows the catalog read" "catalog .* read"
expect "the log shows the downloads" "download beta.cab: Success"
expect "the log shows the registrations" "registered .*sample_beta.dll"
if [ "$(cat "$installed/components.txt" 2>/dev/null)" != "$(printf 'alpha,,sample_alpha.dll,1.0.0.0,1,1\nbeta,,sample_beta.dll,1.1.0.0,1,0')" ]; then
  echo "FAIL: components.txt is '$(cat "$installed/components.txt" 2>/dev/null)'"; failures=$((failures + 1))
fi

if [ "$failures" != 0 ]; then
  echo "--- walk-through output"; sed 's/^/    /' "$log" | tail -n 80
  echo "$failures check(s) failed"
  exit 1
fi
echo "walk-through: all checks passed"
