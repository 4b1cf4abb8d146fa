#!/usr/bin/env bash
# Configures the project (natively, nothing built) the ways a deployer might, and checks
# what the configure says: the published test key stops every build but Debug unless
# ALLOW_TEST_KEY is given, wherever the key file lies; a build other than Debug without
# a server allow-list is warned about; an origin entry of another form stops it; a manifest
# key that is not an Ed25519 public key stops it.
#   configure_guards_test.sh SOURCE_DIR SCRATCH_DIR
set -uo pipefail
source_dir=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
failures=0

# configure NAME EXPECTED_STATUS(0|1) [cmake arguments...]: leaves the output in $scratch/NAME.log
configure() {
  local name=$1 expected=$2; shift 2
  local status=0
  cmake -S "$source_dir" -B "$scratch/$name" -DBUILD_TESTING=OFF -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_COMPILER=clang "$@" >"$scratch/$name.log" 2>&1 || status=1
  if [ "$status" != "$expected" ]; then
    echo "FAIL $name: configure status $status, expected $expected"
    sed 's/^/    /' "$scratch/$name.log" | tail -n 15
    failures=$((failures + 1))
  fi
}
# says NAME PATTERN / says_not NAME PATTERN: whether the configure output holds the text
# (line breaks and CMake's indentation folded away).
output_of() { tr -s ' \n' ' ' <"$scratch/$1.log"; }
says() {
  if ! output_of "$1" | grep -q -- "$2"; then
    echo "FAIL $1: output lacks '$2'"
    failures=$((failures + 1))
  fi
}
says_not() {
  if output_of "$1" | grep -q -- "$2"; then
    echo "FAIL $1: output holds '$2'"
    failures=$((failures + 1))
  fi
}

cp "$source_dir/tests/keys/test-server-public.hex" "$scratch/renamed-key.hex"
/usr/bin/python3 - "$scratch/renamed-key.hex" <<'PY'
import sys
# The same key with a line break added: recognised by its content, not its bytes or name.
path = sys.argv[1]
text = open(path).read().strip()
open(path, "w").write(text[:100] + "\n" + text[100:] + "\n")
PY
"$source_dir/tools/make-server-key" "$scratch/own-private.pem" "$scratch/own-public.hex" >/dev/null 2>&1

configure release-test-key 1 -DCMAKE_BUILD_TYPE=Release
says release-test-key "published test key"
says release-test-key "ALLOW_TEST_KEY=ON"
configure empty-type-test-key 1 -DCMAKE_BUILD_TYPE=
says empty-type-test-key "published test key"
configure release-renamed-test-key 1 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERVER_PUBLIC_KEY_FILE="$scratch/renamed-key.hex"
says release-renamed-test-key "published test key"
configure release-allowed-test-key 0 -DCMAKE_BUILD_TYPE=Release -DALLOW_TEST_KEY=ON
says release-allowed-test-key "No server allow-list (ALLOWED_SERVER_ORIGINS)"
configure debug-test-key 0 -DCMAKE_BUILD_TYPE=Debug
says_not debug-test-key "published test key"
says_not debug-test-key "No server allow-list"
configure release-own-key 0 -DCMAKE_BUILD_TYPE=Release -DSERVER_PUBLIC_KEY_FILE="$scratch/own-public.hex"
says release-own-key "No server allow-list"
# The old host-only list would silently change meaning: it stops the configure instead.
configure release-own-key-hosts 1 -DCMAKE_BUILD_TYPE=Release -DSERVER_PUBLIC_KEY_FILE="$scratch/own-public.hex" \
  -DALLOWED_SERVER_HOSTS=components.example.com
says release-own-key-hosts "ALLOWED_SERVER_ORIGINS"
configure release-own-key-origins 0 -DCMAKE_BUILD_TYPE=Release -DSERVER_PUBLIC_KEY_FILE="$scratch/own-public.hex" \
  "-DALLOWED_SERVER_ORIGINS=https://components.example.com" \
  "-DALLOWED_PAGE_ORIGINS=https://pages.example.com;https://pages.example.com:8443;http://127.0.0.1:8080"
says_not release-own-key-origins "No server allow-list"
for list in ALLOWED_PAGE_ORIGINS ALLOWED_SERVER_ORIGINS; do
  for entry in "http://pages.example.com" "https://pages.example.com/" "pages.example.com" "https://pages.example.com:0" \
    "https://pages.example.com:70000" "ftp://pages.example.com:21"; do
    name="bad-$list-$(printf '%s' "$entry" | tr -c 'A-Za-z0-9' '_')"
    configure "$name" 1 -DCMAKE_BUILD_TYPE=Debug "-D$list=https://ok.example.com;$entry"
    says "$name" "$list entry \"$entry\""
  done
done

# The manifest key: the signing tool's public half is taken; anything else stops the configure.
/usr/bin/python3 "$source_dir/tools/make-signing-key" "$scratch/signing.pem" "$scratch/signing-public.pem" >/dev/null 2>&1
openssl rsa -in "$source_dir/tests/keys/test-server-private.pem" -pubout -out "$scratch/rsa-public.pem" 2>/dev/null
configure manifest-key 0 -DCMAKE_BUILD_TYPE=Debug -DMANIFEST_PUBLIC_KEY_FILE="$scratch/signing-public.pem"
says manifest-key "Signed manifests required"
configure manifest-key-missing 1 -DCMAKE_BUILD_TYPE=Debug -DMANIFEST_PUBLIC_KEY_FILE="$scratch/nowhere.pem"
says manifest-key-missing "does not exist"
for wrong in signing.pem rsa-public.pem renamed-key.hex; do
  configure "manifest-key-$wrong" 1 -DCMAKE_BUILD_TYPE=Debug -DMANIFEST_PUBLIC_KEY_FILE="$scratch/$wrong"
  says "manifest-key-$wrong" "is not an Ed25519 public key"
done
configure no-manifest-key 0 -DCMAKE_BUILD_TYPE=Debug
says_not no-manifest-key "Signed manifests required"

rm -rf "$scratch"
if [ "$failures" != 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all configure checks passed"
