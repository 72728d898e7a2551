#!/usr/bin/env bash
# Runs a command inside a headless GNOME Shell (Wayland, one 1024x768 virtual monitor) with a D-Bus
# session of its own, and returns the command's exit code. The shell and the command run as the
# unprivileged user brisko-desktop-test (created here when missing); as root the whole run gets a
# mount namespace in which /run/systemd is an empty tmpfs, so that the shell finds no logind and
# starts without a seat, and a private system bus.
# Usage: scripts/with-gnome-shell.sh [--extension DIR] [--enable UUID] CMD [ARGS...]
#   --extension DIR   installs the extension folder DIR (named after its uuid) as a system extension,
#                     linked into the shell's folder as the package does
#   --enable UUID     lists UUID in org.gnome.shell enabled-extensions before the shell starts
# In the command's environment: WAYLAND_DISPLAY, XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS,
# XDG_SESSION_TYPE=wayland, XDG_CURRENT_DESKTOP=GNOME, HOME (a scratch folder) and
# BRISKO_GNOME_SHELL_LOG (the shell's log).
set -uo pipefail
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/desktop-test-lib.sh"

readonly test_user=$desktop_test_user
self=$(readlink -f "$0")

usage() {
  echo "usage: $0 [--extension DIR] [--enable UUID] CMD [ARGS...]" >&2
  exit 2
}


# Stage 3, inside dbus-run-session as the test user: the shell, then the command.
if [[ "${1:-}" == --session-stage ]]; then
  shift
  workdir=$1 enable=$2; shift 2
  if [[ -n "$enable" ]]; then
    gsettings set org.gnome.shell enabled-extensions "['$enable']" || exit 1
  fi
  # Nothing on screen may steal the focus from the windows the tests open.
  gsettings set org.gnome.shell welcome-dialog-last-shown-version '999' 2>/dev/null || true
  display="brisko-gnome-$$"
  export BRISKO_GNOME_SHELL_LOG="$workdir/log/gnome-shell.log"
  gnome-shell --headless --wayland --no-x11 --virtual-monitor 1024x768 --wayland-display "$display" \
    >"$BRISKO_GNOME_SHELL_LOG" 2>&1 &
  shell_pid=$!
  trap 'kill "$shell_pid" 2>/dev/null; wait "$shell_pid" 2>/dev/null' EXIT
  shell_ready() {
    ! kill -0 "$shell_pid" 2>/dev/null && return 0
    [[ -S "$XDG_RUNTIME_DIR/$display" ]] &&
      gdbus call --session --timeout 2 --dest org.gnome.Shell --object-path /org/gnome/Shell \
        --method org.freedesktop.DBus.Properties.Get org.gnome.Shell.Extensions ShellVersion >/dev/null 2>&1
  }
  if ! wait_for 60 shell_ready || ! kill -0 "$shell_pid" 2>/dev/null; then
    echo "with-gnome-shell: gnome-shell did not start:" >&2
    grep -v -e "^$" -e "Gjs-CRITICAL" -e "offending signal" -e "^== Stack" -e "^#" "$BRISKO_GNOME_SHELL_LOG" | tail -n 40 >&2
    exit 1
  fi
  # The shell opens the overview once it has started; windows opened under it get no focus, so it is
  # closed again, as a user would with the Super key.
  overview() {
    gdbus call --session --timeout 2 --dest org.gnome.Shell --object-path /org/gnome/Shell \
      --method org.freedesktop.DBus.Properties."$@" 2>/dev/null
  }
  wait_for 5 eval 'overview Get org.gnome.Shell OverviewActive | grep -q true' || true
  overview Set org.gnome.Shell OverviewActive '<false>' >/dev/null
  wait_for 5 eval 'overview Get org.gnome.Shell OverviewActive | grep -q false' || true
  export WAYLAND_DISPLAY="$display"
  "$@"
  status=$?
  if ((status != 0)); then
    echo "with-gnome-shell: the command failed ($status); the shell's last lines:" >&2
    tail -n 30 "$BRISKO_GNOME_SHELL_LOG" >&2
  fi
  exit $status
fi

# Stage 2, as root in a mount namespace of its own: no logind, a private system bus, then the user.
if [[ "${1:-}" == --namespace-stage ]]; then
  shift
  workdir=$1; shift
  if [[ -d /run/systemd ]]; then
    mount -t tmpfs -o mode=755 tmpfs /run/systemd || exit 1
  fi
  dbus-daemon --config-file="$workdir/system-bus.conf" --nofork --nopidfile >"$workdir/system-bus.log" 2>&1 &
  bus_pid=$!
  trap 'kill "$bus_pid" 2>/dev/null; wait "$bus_pid" 2>/dev/null' EXIT
  if ! wait_for 15 test -S "$workdir/system_bus_socket"; then
    echo "with-gnome-shell: the private system bus did not start:" >&2
    cat "$workdir/system-bus.log" >&2
    exit 1
  fi
  chmod 666 "$workdir/system_bus_socket"
  # The user's environment is a clean one, but for the sanitizers' and our own settings.
  pass=()
  while IFS= read -r name; do
    pass+=("$name=${!name}")
  done < <(compgen -e | grep -E '^(BRISKO_[A-Z0-9_]*|[A-Z]SAN_OPTIONS|UBSAN_OPTIONS|TMPDIR)$')
  # The session bus and the services it starts (dconf) see the same home and folders as the shell.
  runuser -u "$test_user" -- env -i PATH="$PATH" LANG=C.UTF-8 LC_ALL=C.UTF-8 \
    HOME="$workdir/home" XDG_CONFIG_HOME="$workdir/home/.config" XDG_DATA_HOME="$workdir/home/.local/share" \
    XDG_CACHE_HOME="$workdir/home/.cache" XDG_RUNTIME_DIR="$workdir/run" \
    XDG_DATA_DIRS="$workdir/share:/usr/local/share:/usr/share" \
    XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_DESKTOP=gnome NO_AT_BRIDGE=1 \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$workdir/system_bus_socket" "${pass[@]}" \
    dbus-run-session -- "$self" --session-stage "$workdir" "$@"
  exit $?
fi

# Stage 1: arguments, the scratch folder, the user.
extension="" enable=""
while (($#)); do
  case "$1" in
    --extension) extension=${2:?}; shift 2 ;;
    --enable) enable=${2:?}; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
(($#)) || usage
for tool in gnome-shell dbus-run-session dbus-daemon gdbus gsettings; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "with-gnome-shell: $tool is missing (scripts/install-deps.sh --test installs it)" >&2
    exit 127
  fi
done
if (($(id -u) != 0)); then
  echo "with-gnome-shell: needs root (a mount namespace without logind, and a user to run the shell as)" >&2
  exit 1
fi
ensure_desktop_test_user || exit 1

workdir=$(mktemp -d "${TMPDIR:-/tmp}/brisko-gnome.XXXXXX")
trap 'rm -rf "$workdir"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
chmod 755 "$workdir"
mkdir -p "$workdir/home" "$workdir/run" "$workdir/log" "$workdir/share/gnome-shell/extensions"
chmod 700 "$workdir/run"
if [[ -n "$extension" ]]; then
  [[ -f "$extension/metadata.json" ]] || { echo "with-gnome-shell: $extension holds no metadata.json" >&2; exit 2; }
  # Linked in from another folder, as the package's postinst links the form the shell loads.
  mkdir -p "$workdir/forms"
  cp -r "$extension" "$workdir/forms/"
  ln -s "$workdir/forms/$(basename "$extension")" "$workdir/share/gnome-shell/extensions/$(basename "$extension")"
fi
chown -R "$test_user:" "$workdir/home" "$workdir/run" "$workdir/log"
cat >"$workdir/system-bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$workdir/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOF

unshare --mount --propagation private "$self" --namespace-stage "$workdir" "$enable" "$@"
exit $?
