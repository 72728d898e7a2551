#!/usr/bin/env bash
# Installs the dependencies, builds Brisko Desktop (release) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)" --target brisko-desktop
exec build/release/app/brisko-desktop "$@"
