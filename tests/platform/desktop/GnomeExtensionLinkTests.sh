#!/usr/bin/env bash
# The package's maintainer scripts for the GNOME Shell extension, run as dpkg runs them (DPKG_ROOT
# set) in a scratch root with a dpkg-query that answers for the gnome-shell package as told: they
# link the form the installed shell loads, follow an upgrade (with an epoch) and a removal through the
# trigger, leave a folder of someone else's alone, and remove only their own link.
# Usage: GnomeExtensionLinkTests.sh DIR   (DIR holds postinst and prerm)
set -euo pipefail
scripts=${1:?usage: $0 DIR}

root=$(mktemp -d "${TMPDIR:-/tmp}/brisko-extension-link.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin" "$root/usr/share/gnome-shell"
cat >"$root/bin/dpkg-query" <<'STUB'
#!/bin/sh
# Answers like dpkg-query --show for gnome-shell with the line in $DPKG_ROOT/shell-status.
[ -f "$DPKG_ROOT/shell-status" ] || { echo "dpkg-query: no packages found matching gnome-shell" >&2; exit 1; }
printf '%s' "$(cat "$DPKG_ROOT/shell-status")"
STUB
chmod 755 "$root/bin/dpkg-query"
export PATH="$root/bin:$PATH" DPKG_ROOT="$root"

uuid=brisko-desktop@brisko.example
link="$root/usr/share/gnome-shell/extensions/$uuid"
failures=0
expect_link() {  # TARGET-FORM (or "none") DESCRIPTION
  local got
  got=$(readlink "$link" 2>/dev/null || echo none)
  local want=none
  [[ "$1" == none ]] || want="/usr/share/brisko-desktop/gnome-shell/$1/$uuid"
  if [[ "$got" != "$want" ]]; then
    echo "FAIL: $2: the link is $got, not $want" >&2
    failures=$((failures + 1))
  fi
}
shell() { printf '%s' "$1" >"$root/shell-status"; }

shell "ii  43.9-0+deb12u2"
sh "$scripts/postinst" configure ""
expect_link legacy "GNOME 43 installed"
shell "ii  1:46.0-1ubuntu1"
sh "$scripts/postinst" triggered /usr/share/gnome-shell
expect_link module "GNOME 46 (with an epoch) after the trigger"
shell "iU  45.2-1"
sh "$scripts/postinst" triggered /usr/share/gnome-shell
expect_link module "GNOME 45 unpacked, not yet configured"
shell "rc  45.2-1"
sh "$scripts/postinst" triggered /usr/share/gnome-shell
expect_link none "GNOME Shell removed, its configuration left"
rm -f "$root/shell-status"
sh "$scripts/postinst" configure ""
expect_link none "no GNOME Shell at all"

shell "ii  44.2-1"
sh "$scripts/postinst" configure ""
expect_link legacy "GNOME 44"
sh "$scripts/prerm" upgrade 1.0.0
expect_link legacy "kept over an upgrade of ours"
sh "$scripts/prerm" remove
expect_link none "removed with the package"

# A folder of that name that is not our link is someone else's.
mkdir -p "$link"
sh "$scripts/postinst" configure ""
sh "$scripts/prerm" remove
if [[ -L "$link" || ! -d "$link" ]]; then
  echo "FAIL: a folder of someone else's was replaced or removed" >&2
  failures=$((failures + 1))
fi

((failures == 0)) && echo "extension link: all cases passed"
exit $((failures > 0))
