#!/bin/sh
# The desktop's default browser in the end-to-end test: hands the URL it is asked to open to the
# browser the test drives (chromium-signin.mjs), through the file $BRISKO_TEST_BROWSER_FILE.
[ -n "$BRISKO_TEST_BROWSER_FILE" ] || exit 1
printf '%s\n' "$1" > "$BRISKO_TEST_BROWSER_FILE.tmp" && mv "$BRISKO_TEST_BROWSER_FILE.tmp" "$BRISKO_TEST_BROWSER_FILE"
