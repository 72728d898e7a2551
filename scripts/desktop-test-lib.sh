# Shell functions shared by the desktop-test scripts (with-xvfb.sh, with-compositor.sh,
# with-gnome-shell.sh); sourced, not run.

# The unprivileged user that compositors refusing root (sway, and gnome-shell as set up here) run as.
readonly desktop_test_user=brisko-desktop-test

# Creates the test user, with a home of its own, when it is missing. Two runs may race to create it:
# the one that loses finds it made.
ensure_desktop_test_user() {
  id -u "$desktop_test_user" >/dev/null 2>&1 ||
    useradd --system --user-group --create-home --home-dir "/var/lib/$desktop_test_user" \
      --shell /usr/sbin/nologin "$desktop_test_user" ||
    id -u "$desktop_test_user" >/dev/null 2>&1
}

# Polls a condition every 50 ms for at most $1 seconds.
wait_for() {
  local limit=$(($1 * 20)); shift
  local i
  for ((i = 0; i < limit; i++)); do
    if "$@"; then return 0; fi
    sleep 0.05
  done
  return 1
}
