#!/bin/sh
# The "default browser" of the OAuth flow tests: xdg-open hands it the URL (through $BROWSER); it runs
# the scripted browser with the options in $BRISKO_BROWSER_ARGS and appends what it did to
# $BRISKO_BROWSER_LOG.
# shellcheck disable=SC2086
exec node "$(dirname "$0")/browser.mjs" "$1" $BRISKO_BROWSER_ARGS >> "${BRISKO_BROWSER_LOG:-/dev/null}" 2>&1
