#!/usr/bin/env bash
# Runs a command inside a headless Wayland compositor of its own and returns the command's exit code.
#   sway:   sway (wlroots) with the headless backend; SWAYSOCK names its IPC socket (swaymsg).
#   kwin:   kwin_wayland --virtual on a private D-Bus session bus (DBUS_SESSION_BUS_ADDRESS), as a
#           KDE Plasma session (XDG_CURRENT_DESKTOP=KDE).
#   weston: a bare weston (headless backend), which offers none of the desktop interfaces.
# The command gets WAYLAND_DISPLAY (an absolute socket path) and XDG_SESSION_TYPE=wayland, and no DISPLAY.
# sway refuses to run as root, so as root every compositor runs as the unprivileged user
# brisko-desktop-test (made here when missing), with a runtime folder of its own; the command itself
# keeps running as the caller.
# Usage: scripts/with-compositor.sh sway|kwin|weston CMD [ARGS...]
set -uo pipefail
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/desktop-test-lib.sh"

if (($# < 2)); then
  echo "usage: $0 sway|kwin|weston CMD [ARGS...]" >&2
  exit 2
fi
kind=$1
shift

case "$kind" in
  sway) tools=(sway swaymsg) ;;
  kwin) tools=(kwin_wayland dbus-daemon) ;;
  weston) tools=(weston) ;;
  *) echo "with-compositor: unknown compositor $kind" >&2; exit 2 ;;
esac
for tool in "${tools[@]}"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "with-compositor: $tool is missing (scripts/install-deps.sh --test installs it)" >&2
    exit 127
  fi
done

test_user=$desktop_test_user
as_user=()
if (($(id -u) == 0)); then
  ensure_desktop_test_user || exit 1
  as_user=(runuser -u "$test_user" --)
  user_home=$(getent passwd "$test_user" | cut -d: -f6)
else
  user_home=$HOME
fi

workdir=$(mktemp -d "${TMPDIR:-/tmp}/brisko-wayland.XXXXXX")
# The compositor's runtime folder: its own, as XDG requires; the caller (root) reaches it anyway.
chmod 711 "$workdir"
if ((${#as_user[@]})); then chown "$test_user" "$workdir"; fi
pids=()

cleanup() {
  # Only the processes started here, by their ids.
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM


base_env=(env -i HOME="$user_home" PATH=/usr/local/bin:/usr/bin:/bin XDG_RUNTIME_DIR="$workdir" LANG=C.UTF-8)
socket=wayland-brisko

case "$kind" in
  sway)
    : >"$workdir/sway.config"
    chmod 644 "$workdir/sway.config"
    "${as_user[@]}" "${base_env[@]}" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
      sway -c "$workdir/sway.config" >"$workdir/compositor.log" 2>&1 &
    pids+=($!)
    socket=wayland-1
    ;;
  kwin)
    # A session bus that the caller (root) may use beside the compositor's user.
    cat >"$workdir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$workdir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    chmod 644 "$workdir/bus.conf"
    "${as_user[@]}" dbus-daemon --config-file="$workdir/bus.conf" --nofork >"$workdir/bus.log" 2>&1 &
    pids+=($!)
    if ! wait_for 10 test -S "$workdir/bus"; then
      echo "with-compositor: dbus-daemon did not start:" >&2
      cat "$workdir/bus.log" >&2
      exit 1
    fi
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$workdir/bus"
    # kwin_wayland carries a file capability (cap_sys_resource), which a container refuses to exec:
    # a plain copy runs.
    cp "$(command -v kwin_wayland)" "$workdir/kwin_wayland"
    chmod 755 "$workdir/kwin_wayland"
    "${as_user[@]}" "${base_env[@]}" DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" QT_QPA_PLATFORM=offscreen \
      XDG_CURRENT_DESKTOP=KDE "$workdir/kwin_wayland" --virtual --no-lockscreen --socket "$socket" \
      >"$workdir/compositor.log" 2>&1 &
    pids+=($!)
    export XDG_CURRENT_DESKTOP=KDE
    ;;
  weston)
    "${as_user[@]}" "${base_env[@]}" weston --backend=headless-backend.so --socket="$socket" --idle-time=0 \
      >"$workdir/compositor.log" 2>&1 &
    pids+=($!)
    export XDG_CURRENT_DESKTOP=
    ;;
esac

compositor_ready() {
  [[ -S "$workdir/$socket" ]] || ! kill -0 "${pids[-1]}" 2>/dev/null
}
if ! wait_for 20 compositor_ready || ! kill -0 "${pids[-1]}" 2>/dev/null; then
  echo "with-compositor: $kind did not start:" >&2
  cat "$workdir/compositor.log" >&2
  exit 1
fi
if [[ "$kind" == kwin ]]; then
  kwin_ready() { dbus-send --session --print-reply --dest=org.kde.KWin /Scripting org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1; }
  if ! wait_for 20 kwin_ready; then
    echo "with-compositor: kwin_wayland did not come up on the session bus:" >&2
    cat "$workdir/compositor.log" >&2
    exit 1
  fi
fi
if [[ "$kind" == sway ]]; then
  SWAYSOCK=$(ls "$workdir"/sway-ipc.*.sock 2>/dev/null | head -n1)
  export SWAYSOCK
  [[ -n "$SWAYSOCK" ]] && wait_for 10 swaymsg -t get_version >/dev/null 2>&1
fi

export WAYLAND_DISPLAY="$workdir/$socket" XDG_SESSION_TYPE=wayland
unset DISPLAY
"$@"
exit $?
