#!/usr/bin/env bash
# Installs the npm packages the tests run against (the OpenID provider, the browser driver) into
# node_modules/ at the root of the repository, exactly as package-lock.json pins them, their own
# dependencies included. Idempotent: when node_modules/ already holds that lock it does nothing and
# needs no network.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "install-test-peers: node and npm are needed (apt-get install nodejs npm)" >&2
  exit 1
fi

# To change a peer: edit package.json, run `npm install --package-lock-only --ignore-scripts`, commit both.
stamp=node_modules/.installed-package-lock.json
if cmp -s package-lock.json "$stamp"; then exit 0; fi

npm ci --no-audit --no-fund --ignore-scripts --loglevel=error
cp package-lock.json "$stamp"
