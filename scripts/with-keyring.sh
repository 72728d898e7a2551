#!/usr/bin/env bash
# Runs a command inside a private D-Bus session with an unlocked GNOME Keyring as its Secret Service,
# with a temporary HOME and XDG folders and no display (a locked keyring would otherwise prompt).
# Usage: scripts/with-keyring.sh <command> [arguments...]
set -euo pipefail

if (($# == 0)); then
  echo "usage: $0 <command> [arguments...]" >&2
  exit 2
fi
for tool in dbus-run-session gnome-keyring-daemon; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (scripts/install-deps.sh --test)" >&2; exit 1; }
done

root=$(mktemp -d "${TMPDIR:-/tmp}/brisko-keyring.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/home" "$root/data" "$root/config" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"

export HOME="$root/home" XDG_DATA_HOME="$root/data" XDG_CONFIG_HOME="$root/config"
export XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK

# Inside the private bus: start the keyring unlocked with a throwaway password (this creates the login
# collection and makes it the default), wait until it owns the Secret Service name, run the command, and
# stop the keyring by its process id.
dbus-run-session -- bash -c '
  set -euo pipefail
  printf %s pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null
  owner() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.secrets 2>/dev/null |
      awk "/uint32/ { print \$2 }"
  }
  keyring_pid=""
  for _ in $(seq 1 100); do
    keyring_pid=$(owner || true)
    [[ -n "$keyring_pid" ]] && break
    sleep 0.05
  done
  [[ -n "$keyring_pid" ]] || { echo "with-keyring: GNOME Keyring did not start" >&2; exit 1; }
  status=0
  "$@" || status=$?
  # The daemon would end with the bus; stop it by its id so it never outlives the session.
  kill "$keyring_pid" 2>/dev/null || true
  exit "$status"
' bash "$@"
