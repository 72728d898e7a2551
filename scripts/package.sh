#!/usr/bin/env bash
# Builds the Debian package from the release preset and checks it: its name, its files, its computed
# Depends line, that lintian finds no error and no warning in it, that it unpacks into a scratch root
# with every shared library resolved, and that the unpacked app starts there and shows its window on a
# private X display.
# Usage: scripts/package.sh            (the package is left in build/release/)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target brisko-desktop brisko-package-docs
(cd build/release && rm -f brisko-desktop_*.deb && cpack -G DEB >/dev/null)

version=$(sed -n 's/^project(BriskoDesktop VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="build/release/brisko-desktop_${version}_amd64.deb"
fail() { echo "package: $*" >&2; exit 1; }
[[ -f "$deb" ]] || fail "missing $deb"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/brisko-desktop \
         ./usr/share/applications/brisko-desktop.desktop \
         ./usr/share/icons/hicolor/scalable/apps/brisko-desktop.svg \
         ./usr/share/brisko-desktop/Info.plist \
         ./usr/share/brisko-desktop/EzevarService-Info.plist \
         ./usr/share/brisko-desktop/kwin-active-window.js \
         ./usr/share/brisko-desktop/gnome-shell/legacy/brisko-desktop@brisko.example/extension.js \
         ./usr/share/brisko-desktop/gnome-shell/module/brisko-desktop@brisko.example/extension.js; do
  grep -qx -- "$f" <<<"$contents" || fail "$f is not in the package"
done
for f in ./usr/share/man/man1/brisko-desktop.1.gz \
         ./usr/share/doc/brisko-desktop/copyright \
         ./usr/share/doc/brisko-desktop/changelog.gz; do
  grep -qx -- "$f" <<<"$contents" || fail "$f is not in the package"
done
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libcurl4 libsecret-1-0 libplist3 libxcb-ewmh2 libwayland-client0 qt6-qpa-plugins qt6-wayland fonts-noto-cjk publicsuffix; do
  grep -q "\b$d\b" <<<"$depends" || fail "Depends lacks $d: $depends"
done
# Fonts come from Debian's font packages, never as copies of their own.
fonts=$(grep -Ei '\.(ttf|otf|ttc|woff2?)$' <<<"$contents" || true)
[[ -z "$fonts" ]] || fail "the package carries fonts of its own: $fonts"
grep -q '\bfonts-roboto\b' <<<"$depends" || fail "Depends lacks fonts-roboto (the sign-in button's font): $depends"

changelog_version=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/brisko-desktop/changelog.gz | gzip -dc |
  sed -n '1s/^brisko-desktop (\([^)]*\)).*/\1/p')
[[ "$changelog_version" == "$version" ]] ||
  fail "the changelog's latest entry is ${changelog_version:-missing}, the package $version"

# Info and pedantic tags may stay; errors and warnings may not.
tags=$(lintian --fail-on error,warning --no-tag-display-limit "$deb" 2>&1) || {
  echo "$tags" >&2
  fail "lintian reports errors or warnings"
}

root=$(mktemp -d "${TMPDIR:-/tmp}/brisko-package.XXXXXX")
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/brisko-desktop.desktop"
# The maintainer scripts it carries link the GNOME Shell extension's form that the shell loads.
dpkg-deb -e "$deb" "$root/DEBIAN"
tests/platform/desktop/GnomeExtensionLinkTests.sh "$root/DEBIAN" >/dev/null || fail "the extension's maintainer scripts"
grep -q '^MimeType=.*x-scheme-handler/' "$root/usr/share/applications/brisko-desktop.desktop" ||
  fail "the desktop entry registers no URL scheme"
missing=$(ldd "$root/usr/bin/brisko-desktop" | grep 'not found' || true)
[[ -z "$missing" ]] || fail "unresolved libraries: $missing"

# Start the unpacked app with a home of its own; it must find its resources beside it and open its window.
home="$root/home"
mkdir -p -m 700 "$home/run"
HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" \
XDG_RUNTIME_DIR="$home/run" BRISKO_PRIVATE_DISPLAY=1 DBUS_SESSION_BUS_ADDRESS=disabled: \
  timeout 120 scripts/with-xvfb.sh bash -c '
    "$0" >"$1/app.log" 2>&1 & pid=$!
    for _ in $(seq 100); do
      xdotool search --name "^Brisko Desktop$" >/dev/null 2>&1 && { kill $pid; wait $pid; exit 0; }
      kill -0 $pid 2>/dev/null || break
      sleep 0.1
    done
    kill $pid 2>/dev/null; exit 1' "$root/usr/bin/brisko-desktop" "$home" ||
  { cat "$home/app.log" >&2; fail "the unpacked app did not open its window"; }
grep -q '✅' "$home/app.log" || { cat "$home/app.log" >&2; fail "the unpacked app did not read its options file"; }
echo "package: $deb ok ($(du -k "$deb" | cut -f1) KiB; Depends: $depends)"
