#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as the distribution does: the
# desktop entry with desktop-file-validate (no message at all), the icon it names, and the whole
# package with lintian (no error, no warning).
#   packaging/check-package.sh <build folder>
set -euo pipefail
build=$(cd "${1:?usage: check-package.sh <build folder>}" && pwd)
out="$build/package"
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
debs=("$out"/*.deb)
deb=${debs[0]}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

entry="$root/usr/share/applications/tarvel.desktop"
messages=$(desktop-file-validate "$entry" 2>&1) || true
if [ -n "$messages" ]; then
    echo "$messages"
    echo "check-package: desktop-file-validate is not content with the desktop entry" >&2
    exit 1
fi
icon=$(sed -n 's/^Icon=//p' "$entry")
if ! compgen -G "$root/usr/share/icons/hicolor/*/apps/$icon.png" >/dev/null; then
    echo "check-package: the icon '$icon' named in the desktop entry is not in the package" >&2
    exit 1
fi

# Root is what CI runs as; lintian only warns about it on its own error channel.
lintian --fail-on error,warning --info "$deb" 2> >(grep -v 'running with root privileges' >&2)
echo "check-package: $(basename "$deb") passes desktop-file-validate and lintian"
