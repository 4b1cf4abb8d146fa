# Reference component server helpers for scripts/test, scripts/demo, scripts/bench and the
# CTest fixtures of the Windows tests (sourced, not run). One server per run, on a free
# port of 127.0.0.1, in a session of its own so that a caller that only starts it (a CTest
# fixture) can exit without waiting for it.

server_pid=
server_project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# server_start ROOT_DIR [extra component-server arguments...]: serves ROOT_DIR with the
# test key and exports CORVANE_SERVER_URL and CORVANE_SERVER_ROOT (ROOT_DIR as Wine sees
# it). SERVER_LOG (default /dev/null) receives the server's output.
server_start() {
  local served=$1; shift
  served=$(cd "$served" && pwd)
  local port_file
  port_file=$(mktemp -u /tmp/corvane-server-port.XXXXXX)
  setsid /usr/bin/python3 "$server_project_root/tools/component-server" --root "$served" \
    --key "$server_project_root/tests/keys/test-server-private.pem" --port 0 --port-file "$port_file" "$@" \
    </dev/null >>"${SERVER_LOG:-/dev/null}" 2>&1 &
  server_pid=$!
  local waited=0
  until [ -s "$port_file" ]; do
    if ! kill -0 "$server_pid" 2>/dev/null || [ "$waited" -ge 100 ]; then
      echo "component server did not start" >&2
      server_stop
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  local port
  port=$(cat "$port_file")
  rm -f "$port_file"
  export CORVANE_SERVER_URL="http://127.0.0.1:$port/"
  export CORVANE_SERVER_ROOT="Z:$(printf '%s' "$served/" | tr '/' '\\')"
}

server_stop() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}

# server_signing_keys DIR: the manifest signing key pairs "test" and "other" (DIR/NAME.pem
# and its public half DIR/NAME.public.pem), made when missing and kept otherwise.
server_signing_keys() {
  local dir=$1 name
  mkdir -p "$dir"
  for name in test other; do
    if [ ! -e "$dir/$name.pem" ]; then
      /usr/bin/python3 "$server_project_root/tools/make-signing-key" "$dir/$name.pem" "$dir/$name.public.pem"
    elif [ ! -e "$dir/$name.public.pem" ]; then
      /usr/bin/python3 "$server_project_root/tools/make-signing-key" --from "$dir/$name.pem" "$dir/$name.public.pem"
    fi >/dev/null 2>&1 || { echo "cannot make the signing key $dir/$name.pem" >&2; return 1; }
  done
}

# server_start_in STATE_DIR: a server that outlives the calling shell. Serves a fresh
# STATE_DIR/served, signs on request with the keys of STATE_DIR/signing-keys, logs to
# STATE_DIR/server.log and leaves its process id in STATE_DIR/pid and what the Windows tests
# read (url=..., root=...) in STATE_DIR/settings.
server_start_in() {
  local state=$1
  server_stop_in "$state"
  rm -rf "$state/served"
  mkdir -p "$state/served"
  server_signing_keys "$state/signing-keys" || return 1
  SERVER_LOG="$state/server.log" server_start "$state/served" --signing-keys "$state/signing-keys" || return 1
  echo "$server_pid" >"$state/pid"
  printf 'url=%s\nroot=%s\n' "$CORVANE_SERVER_URL" "$CORVANE_SERVER_ROOT" >"$state/settings.tmp"
  mv "$state/settings.tmp" "$state/settings"
  server_pid=
}

# server_stop_in STATE_DIR: ends the server that server_start_in started there, if it runs.
server_stop_in() {
  local state=$1 pid
  rm -f "$state/settings"
  pid=$(cat "$state/pid" 2>/dev/null) || return 0
  rm -f "$state/pid"
  # Only the server started there: a process id may have been reused since.
  if tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline" | grep -qxF "$(cd "$state" && pwd)/served"; then
    kill "$pid" 2>/dev/null || true
  fi
}
