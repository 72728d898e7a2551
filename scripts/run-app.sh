#!/usr/bin/env bash
# Installs the dependencies, builds Brisko Desktop (release) and starts it.
#   bash scripts/run-app.sh [app arguments...]   the real app
#   bash scripts/run-app.sh --local              the app against local stand-ins of every service it
#                                                talks to: Ezevar (a real OpenID provider over HTTPS with a
#                                                test CA made here), the identity service and a companion
#                                                service that prints what it receives
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" != "--local" ]]; then
  bash scripts/install-deps.sh
  cmake --preset release
  cmake --build --preset release -j "$(nproc)" --target brisko-desktop
  exec build/release/app/brisko-desktop "$@"
fi

# --local: the stand-ins are built with the tests (dev preset, in a folder of their own).
bash scripts/install-deps.sh --test
bash scripts/install-test-peers.sh
build=build/local
cmake --preset dev -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target brisko-desktop identity-service companion-service

state="$PWD/$build/local-run"
mkdir -p "$state"
chmod 700 "$state"

# A test CA and a certificate for 127.0.0.1, made once; trusted only by this app run (never by the system).
if [[ ! -s "$state/ca.pem" || ! -s "$state/server.pem" ]]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 825 -subj "/CN=Brisko local test CA" \
    -keyout "$state/ca.key" -out "$state/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$state/server.key" -out "$state/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' > "$state/server.ext"
  openssl x509 -req -in "$state/server.csr" -CA "$state/ca.pem" -CAkey "$state/ca.key" -CAcreateserial \
    -days 825 -extfile "$state/server.ext" -out "$state/server.pem" 2>/dev/null
fi

# The app's own resources, with the redirect coming back over a loopback listener, so that no URL
# scheme has to be registered with the desktop.
rm -rf "$state/resources"
cp -r resources "$state/resources"
sed -i '0,/<dict>/s||<dict>\n\t<key>EIDLoopbackRedirect</key>\n\t<true/>|' "$state/resources/Info.plist"
plist_value() { sed -n "/<key>$1<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}" resources/EzevarService-Info.plist; }
client_id=$(plist_value CLIENT_ID)
api_key=$(plist_value API_KEY)

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# Starts a service whose first output line is its port (or JSON with "port"), and stores the port in
# the variable named second. Its later output goes to the terminal, each line marked with its name.
start_service() {
  local name=$1 variable=$2
  shift 2
  local out="$state/$name.out"
  : > "$out"
  "$@" > >(tee "$out" | sed -u "1d; s/^/[$name] /") 2> >(sed -u "s/^/[$name] /" >&2) &
  pids+=($!)
  local port=""
  for _ in $(seq 1 200); do
    port=$(head -n 1 "$out" | sed -n -E 's/.*"port":([0-9]+).*/\1/p;t;s/^([0-9]+)$/\1/p')
    [[ -n "$port" ]] && break
    sleep 0.05
  done
  [[ -n "$port" ]] || { echo "run-app: $name did not start" >&2; exit 1; }
  printf -v "$variable" '%s' "$port"
}

start_service ezevar ezevar_port node tests/support/ezevar/ezevar-standin.mjs \
  --cert "$state/server.pem" --key "$state/server.key" --client-id "$client_id"
start_service identity identity_port "$build/tests/support/identity-service/identity-service" --api-key "$api_key"
start_service companion companion_port "$build/tests/support/companion-service/companion-service"

cat <<INFO
Brisko Desktop runs against local services:
  Ezevar sign-in     https://127.0.0.1:$ezevar_port  (sign in with any name and password)
  identity service   http://127.0.0.1:$identity_port
  companion service  http://127.0.0.1:$companion_port  (what it received: open this address; it also prints each request here)
INFO

BRISKO_RESOURCES_DIR="$state/resources" \
BRISKO_EZEVAR_SERVER="127.0.0.1:$ezevar_port" \
BRISKO_EZEVAR_CA_FILE="$state/ca.pem" \
BRISKO_IDENTITY_EMULATOR_HOST="127.0.0.1:$identity_port" \
BRISKO_SERVICE_URL="http://127.0.0.1:$companion_port" \
  "$build/app/brisko-desktop"
