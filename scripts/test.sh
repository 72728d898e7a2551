#!/usr/bin/env bash
# Installs everything the tests need, builds them with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test through CTest. Desktop tests start their own Xvfb, keyring tests their own
# D-Bus session and Secret Service.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test
if [[ -x scripts/install-test-peers.sh ]]; then bash scripts/install-test-peers.sh; fi

jobs=$(nproc)
cmake --preset ci
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j 4
