#!/usr/bin/env bash
# Installs everything the tests need, builds them with AddressSanitizer and UndefinedBehaviorSanitizer,
# checks the Debian package and runs every test through CTest. Desktop tests start their own Xvfb,
# keyring tests their own D-Bus session and Secret Service.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test
if [[ -x scripts/install-test-peers.sh ]]; then bash scripts/install-test-peers.sh; fi

# Objects compiled in another checkout of the same sources come from ccache.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true

jobs=$(nproc)
cmake --preset ci
cmake --build --preset ci -j "$jobs"

# The Debian package builds, holds what it should and starts from a scratch root.
bash scripts/package.sh

ctest --preset ci -j 4

# The tests that need no display, again under ThreadSanitizer: a second build without Qt (the desktop and
# app tests are not in it), with races inside GLib, libsecret, libdbus and Qt suppressed (tests/tsan.supp).
# A test that cannot run under it carries the CTest label "no-tsan".
cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j 4
