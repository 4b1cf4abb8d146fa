# Reference component server helpers for scripts/test, scripts/demo and scripts/bench
# (sourced, not run). One server per run, on a free port of 127.0.0.1.

server_pid=

# server_start ROOT_DIR [extra component-server arguments...]: serves ROOT_DIR with the
# test key and exports CORVANE_SERVER_URL and CORVANE_SERVER_ROOT (ROOT_DIR as Wine sees it).
server_start() {
  local served=$1; shift
  local project
  project=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  served=$(cd "$served" && pwd)
  local port_file
  port_file=$(mktemp -u /tmp/corvane-server-port.XXXXXX)
  /usr/bin/python3 "$project/tools/component-server" --root "$served" \
    --key "$project/tests/keys/test-server-private.pem" --port 0 --port-file "$port_file" "$@" \
    </dev/null >/dev/null 2>&1 &
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
