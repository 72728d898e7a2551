#!/usr/bin/env bash
# Installs the pinned npm packages the tests run against (the OpenID provider, the browser driver) into
# node_modules/ at the root of the repository. Idempotent: when every pinned version is already there it
# does nothing and needs no network.
set -euo pipefail
cd "$(dirname "$0")/.."

# One "name@version" a line; add a test peer by adding its line.
PEERS=(
  "oidc-provider@9.13.3"
  "puppeteer-core@25.19.0"
)

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "install-test-peers: node and npm are needed (apt-get install nodejs npm)" >&2
  exit 1
fi

installed_version() {
  node -e 'try { process.stdout.write(require(process.argv[1]).version) } catch (e) {}' \
    "$PWD/node_modules/$1/package.json"
}

missing=0
for peer in "${PEERS[@]}"; do
  name="${peer%@*}"
  version="${peer##*@}"
  if [[ "$(installed_version "$name")" != "$version" ]]; then missing=1; fi
done
if [[ $missing -eq 0 ]]; then exit 0; fi

# All peers in one command, so that none is pruned as extraneous by the install of another.
npm install --prefix "$PWD" --no-save --no-package-lock --no-audit --no-fund --ignore-scripts "${PEERS[@]}"
