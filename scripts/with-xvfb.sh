#!/usr/bin/env bash
# Runs a command on an X display with a window manager and returns the command's exit code.
# When $DISPLAY already answers, the command runs there; otherwise (or with BRISKO_PRIVATE_DISPLAY=1)
# a private Xvfb on a free display number with openbox is started for it and torn down afterwards.
# Usage: scripts/with-xvfb.sh CMD [ARGS...]
set -uo pipefail
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/desktop-test-lib.sh"

if (($# == 0)); then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi

if [[ "${BRISKO_PRIVATE_DISPLAY:-0}" != 1 && -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
  exec "$@"
fi

for tool in Xvfb openbox xprop; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "with-xvfb: $tool is missing (scripts/install-deps.sh --test installs it)" >&2
    exit 127
  fi
done

workdir=$(mktemp -d "${TMPDIR:-/tmp}/brisko-xvfb.XXXXXX")
xvfb_pid=""
wm_pid=""

cleanup() {
  # Only the processes started here, by their ids.
  for pid in $wm_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $wm_pid $xvfb_pid; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM


# Xvfb picks a free display number and writes it to the fd once it accepts connections.
: >"$workdir/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
xvfb_pid=$!
display_ready() { (($(wc -l <"$workdir/display") > 0)) || ! kill -0 "$xvfb_pid" 2>/dev/null; }
if ! wait_for 15 display_ready || (($(wc -l <"$workdir/display") == 0)); then
  echo "with-xvfb: Xvfb did not start:" >&2
  cat "$workdir/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$workdir/display" | tr -d '[:space:]')"

# openbox publishes the EWMH hints (_NET_ACTIVE_WINDOW); it is ready once it names itself on the root.
mkdir -p "$workdir/config"
XDG_CONFIG_HOME="$workdir/config" openbox --sm-disable >"$workdir/openbox.log" 2>&1 &
wm_pid=$!
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' || ! kill -0 "$wm_pid" 2>/dev/null; }
if ! wait_for 15 wm_ready || ! kill -0 "$wm_pid" 2>/dev/null; then
  echo "with-xvfb: openbox did not start:" >&2
  cat "$workdir/openbox.log" >&2
  exit 1
fi

"$@"
exit $?
