#!/usr/bin/env bash
# Runs the commands of docs/deploying.md that a build machine can run without changing itself:
#   - the server without systemd, exactly as written, in a scratch copy of the checkout on free
#     ports of 127.0.0.1, checking what a reader should see and that it stops what it started;
#   - step 2's configure, with a key made as step 1 makes it;
#   - the publish step, with its output folder moved into the scratch;
#   - the systemd unit as step 4 installs it, through systemd-analyze verify, and the paths it
#     names against the ones step 4 installs;
#   - the nginx site of step 6, made by the step's own command with the certificate, tree, site
#     file and logs moved into the scratch, through nginx -t with a prefix of its own;
#   - the packages the steps install, against scripts/setup's list.
# Nothing outside the scratch is written; only the processes the block started are stopped.
#   deploy_test.sh REPOSITORY_ROOT
set -uo pipefail
root=$(cd "$1" && pwd)
# shellcheck source=doc_blocks.sh
source "$root/tests/tools/doc_blocks.sh"
doc=$root/docs/deploying.md
scratch=$(mktemp -d /tmp/corvane-deploy.XXXXXX)
# Run as root, nginx's workers are nobody: they must reach the published tree.
chmod 755 "$scratch"

# The block's own servers, by the pids they wrote, and only while the process is still the one
# the block started (its command line names the scratch).
stop_started() {
  local pidfile pid
  for pidfile in "$scratch/deploy/nginx/nginx.pid" "$scratch/deploy/gunicorn.pid"; do
    pid=$(cat "$pidfile" 2>/dev/null) || continue
    if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$scratch/"; then kill "$pid" 2>/dev/null; fi
  done
}
cleanup() {
  stop_started
  [ -n "${KEEP_DEPLOY:-}" ] && cp "$scratch/deploy.log" "$KEEP_DEPLOY"
  rm -rf "$scratch"
}
trap cleanup EXIT

# -- the server without systemd, as written --------------------------------------------------
scratch_checkout "$root" "$scratch"
site_port=$(free_port)
backend_port=$(free_port)
while [ "$backend_port" = "$site_port" ]; do backend_port=$(free_port); done
log=$scratch/deploy.log
doc_block "$doc" deploy-without-systemd | sed "s/8443/$site_port/g; s/8081/$backend_port/g" >"$scratch/deploy.sh"
grep -q 'render-nginx-site' "$scratch/deploy.sh" || { echo "FAIL: no deploy-without-systemd block in $doc"; exit 1; }
# Without its own log folder the site would log into /var/log/nginx: not run, then.
grep -q -- '--log-dir "$PWD/deploy/' "$scratch/deploy.sh" || { echo "FAIL: the block's site has no --log-dir in deploy/"; exit 1; }
started=$(date +%s)
(cd "$scratch" && bash -euo pipefail deploy.sh) >"$log" 2>&1
status=$?
echo "deploy without systemd ran in $(( $(date +%s) - started )) s with status $status"
[ "$status" = 0 ] || fail "the block ended with status $status"
expect "publish prints the catalog line" '^notes,notes.cab,notes.txt,1.0.0.0,2,0$' "$log"
[ "$(grep -c '^notes,notes.cab,notes.txt,1.0.0.0,2,0$' "$log")" = 2 ] || fail "nginx did not serve the catalog"
expect "nginx -t accepts the configuration" 'test is successful' "$log"
expect "the handshake echoes the challenge" '^the challenge is echoed$' "$log"
expect "the handshake's signature verifies" '^Verified OK$' "$log"
expect "nginx logged the handshake" '"POST /client/session.cgi HTTP/1.1" 200' "$scratch/deploy/nginx/logs/corvane-access.log"
expect "the backend logged the handshake" '"POST /client/session.cgi HTTP/1.[01]" 200' "$scratch/deploy/handshake-access.log"
if grep -E '^(nginx: )?\[(warn|emerg|alert|crit)\]' "$log"; then fail "nginx complained"; fi
# Its last step stops what it started: no process naming the scratch is left.
for _ in $(seq 1 50); do
  left=$(pgrep -f -- "$scratch/" | tr '\n' ' ')
  [ -z "$left" ] && break
  sleep 0.1
done
[ -z "$left" ] || fail "processes still running after the block stopped them: $left"

# -- the build's configuration in step 2, with a key made as step 1 makes it -------------------
build=$scratch/build-step
mkdir -p "$build"
scratch_checkout "$root" "$build"
# The step's first command, the configure; its build is the walk-through's, for x86_64.
doc_block "$doc" deploy-build | sed -n '1,/[^\\]$/p' >"$build/configure.sh"
grep -q -- "-DSERVER_PUBLIC_KEY_FILE=\$PWD/server-public.hex" "$build/configure.sh" || fail "step 2 has no configure with the key"
if ! (cd "$build" && tools/make-server-key server-private.pem server-public.hex && bash -euo pipefail configure.sh) \
     >"$build/configure.log" 2>&1; then
  fail "step 2's configure failed: $(tail -n 15 "$build/configure.log")"
fi
if grep -q 'CMake Warning' "$build/configure.log"; then fail "step 2's configure warns: $(cat "$build/configure.log")"; fi

# -- the publish step -------------------------------------------------------------------------
publish=$scratch/publish
mkdir -p "$publish/components"
printf 'Corvane client notes\n' >"$publish/components/notes.txt"
printf 'notes,notes.txt,1.0.0.0,file\n' >"$publish/components.list"
ln -s "$root/tools" "$publish/tools"
doc_block "$doc" deploy-publish | sed "s#/srv/corvane#$publish/srv/corvane#g" >"$publish/publish.sh"
grep -q "tools/publish" "$publish/publish.sh" || fail "no deploy-publish block in $doc"
if ! (cd "$publish" && bash -euo pipefail publish.sh) >"$publish/publish.log" 2>&1; then
  fail "the publish step failed: $(cat "$publish/publish.log")"
fi
[ "$(cat "$publish/srv/corvane/client/cvprobecl.txt" 2>/dev/null)" = "notes,notes.cab,notes.txt,1.0.0.0,2,0" ] \
  || fail "the publish step wrote no catalog"

# -- the systemd unit of step 4 ---------------------------------------------------------------
unit_block=$(doc_block "$doc" deploy-unit)
unit=$root/server/corvane-handshake@.service
grep -qx 'install -m 644 server/corvane-handshake@.service /etc/systemd/system/' <<<"$unit_block" \
  || fail "step 4 does not install server/corvane-handshake@.service"
# What the unit names is what step 4 installs: the user, the key, the service's folder.
service_user=$(sed -n 's/^useradd .* \([a-z-]*\)$/\1/p' <<<"$unit_block")
grep -qx "User=$service_user" "$unit" || fail "the unit does not run as step 4's user '$service_user'"
grep -qx "install -m 400 -o $service_user -g $service_user server-private.pem /etc/corvane-handshake/" <<<"$unit_block" \
  && grep -qx "Environment=CORVANE_HANDSHAKE_KEY=/etc/corvane-handshake/server-private.pem" "$unit" \
  || fail "the unit's key is not where step 4 installs it"
grep -qx "install -m 644 server/handshake_app.py server/handshake_reply.py /opt/corvane-handshake/" <<<"$unit_block" \
  && grep -q -- "--pythonpath /opt/corvane-handshake handshake_app:application" "$unit" \
  || fail "the unit's service is not where step 4 installs it"
instances=$(grep -oE 'corvane-handshake@[0-9]+' <<<"$unit_block" | sort -u)
[ -n "$instances" ] || fail "step 4 enables no instance"
mkdir -p "$scratch/units"
for instance in $instances; do
  cp "$unit" "$scratch/units/$instance.service"
  if ! verdict=$(systemd-analyze verify "$scratch/units/$instance.service" 2>&1) || [ -n "$verdict" ]; then
    fail "systemd-analyze verify $instance.service: $verdict"
  fi
done

# -- the nginx site of step 6 -----------------------------------------------------------------
site=$scratch/site
mkdir -p "$site/logs" "$site/temp" "$site/srv/corvane"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=components.example.com \
  -keyout "$site/components.key" -out "$site/components.pem" >/dev/null 2>&1
# The step's first command (up to its --out), with the machine's paths moved into the scratch.
doc_block "$doc" deploy-site | sed -n '1,/--out /p' | sed \
  -e "s#/etc/ssl/certs/components.example.com.pem#$site/components.pem#" \
  -e "s#/etc/ssl/private/components.example.com.key#$site/components.key#" \
  -e "s#--root /srv/corvane#--root $site/srv/corvane#" \
  -e "s#--out /etc/nginx/sites-available/corvane#--out $site/corvane --log-dir $site/logs#" >"$site/render.sh"
grep -q -- "--out $site/corvane --log-dir" "$site/render.sh" || fail "step 6 does not render the site with --out"
if grep -qE ' (/etc|/srv|/var)/' "$site/render.sh"; then fail "step 6 names a path this test did not move: $(cat "$site/render.sh")"; fi
cat >"$site/nginx.conf" <<CONF
pid $site/nginx.pid;
error_log $site/logs/error.log;
events {}
http {
    client_body_temp_path $site/temp/body;
    proxy_temp_path $site/temp/proxy;
    fastcgi_temp_path $site/temp/fastcgi;
    uwsgi_temp_path $site/temp/uwsgi;
    scgi_temp_path $site/temp/scgi;
    include $site/corvane;
}
CONF
if ! (cd "$root" && bash -euo pipefail "$site/render.sh") >"$site/render.log" 2>&1; then
  fail "step 6's render-nginx-site failed: $(cat "$site/render.log")"
elif ! verdict=$(nginx -t -p "$site/" -c "$site/nginx.conf" -e "$site/logs/error.log" 2>&1); then
  fail "nginx -t refused step 6's site: $verdict"
fi

# -- the packages the steps install -----------------------------------------------------------
setup_packages=" $(sed -n '/^APT_PACKAGES=(/,/^)/p' "$root/scripts/setup" | tr -d '()' | sed 's/APT_PACKAGES=//' | tr '\n' ' ') "
for package in $(tr '\n' ' ' <"$doc" | grep -o 'apt-get install [a-z0-9 .+-]*' | sed 's/apt-get install//'); do
  case $setup_packages in *" $package "*) ;; *) fail "scripts/setup does not install $package, which the steps need" ;; esac
done

if [ "$failures" != 0 ]; then
  echo "--- output of the block without systemd"; sed 's/^/    /' "$log" | tail -n 60
  echo "$failures check(s) failed"
  exit 1
fi
echo "deploy: all checks passed"
