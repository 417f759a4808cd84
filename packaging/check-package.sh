#!/usr/bin/env bash
# Builds the two Debian packages from a build folder and checks them as the distribution does.
# tarvel-relay: exactly the relay program, its services, settings, manual page and documents, and
# dependencies without anything of the desktop. tarvel: the desktop entry with
# desktop-file-validate (no message at all), the icons it names (in sizes and scalable), the
# software-centre description with appstreamcli validate --pedantic (no remark at all), and a
# dependency on the relay package of the same version. Both with lintian --pedantic (no tag but
# the overridden one).
#   packaging/check-package.sh <build folder>
set -euo pipefail
build=$(cd "${1:?usage: check-package.sh <build folder>}" && pwd)
out="$build/package"
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
relay_debs=("$out"/tarvel-relay_*.deb)
dialog_debs=("$out"/tarvel_*.deb)
relay=${relay_debs[0]}
deb=${dialog_debs[0]}
{ [ -f "$relay" ] && [ -f "$deb" ]; } || { ls "$out" >&2; echo "check-package: cpack made no tarvel-relay and tarvel packages" >&2; exit 1; }
package_version=$(dpkg-deb -f "$deb" Version)
[ "$(dpkg-deb -f "$relay" Version)" = "$package_version" ] ||
    { echo "check-package: the packages' versions differ" >&2; exit 1; }

# The relay package: its files, and nothing it depends on draws in the desktop.
contents=$(dpkg-deb -c "$relay" | awk '{print $6}' | grep -v '/$' | sort | tr '\n' ' ')
expected="./etc/tarvel/tarvel.inf ./usr/bin/tarvel-relay \
./usr/lib/systemd/system/tarvel-relay.service ./usr/lib/systemd/system/tarvel-relay@.service \
./usr/share/doc/tarvel-relay/changelog.Debian.gz ./usr/share/doc/tarvel-relay/copyright \
./usr/share/lintian/overrides/tarvel-relay ./usr/share/man/man8/tarvel-relay.8.gz "
if [ "$contents" != "$expected" ]; then
    echo "check-package: tarvel-relay holds: $contents" >&2
    echo "check-package: expected:           $expected" >&2
    exit 1
fi
depends=$(dpkg-deb -f "$relay" Depends)
if grep -Eiq 'qt|x11|xcb|libgl|font|libsystemd|tarvel' <<<"$depends" ||
    ! grep -q 'init-system-helpers' <<<"$depends" || ! grep -q 'libstdc++6' <<<"$depends"; then
    echo "check-package: tarvel-relay depends on: $depends" >&2
    exit 1
fi
[ "$(dpkg-deb -f "$relay" Replaces)" = "tarvel (<< $package_version)" ] ||
    { echo "check-package: tarvel-relay's Replaces: $(dpkg-deb -f "$relay" Replaces)" >&2; exit 1; }
[ "$(dpkg-deb -I "$relay" conffiles)" = /etc/tarvel/tarvel.inf ] ||
    { echo "check-package: tarvel-relay's conffiles are not just /etc/tarvel/tarvel.inf" >&2; exit 1; }

# The dialog package: nothing of the services, and the relay program of its own version.
if dpkg-deb -c "$deb" | grep -Eq '(/etc/|systemd|tarvel-relay)'; then
    echo "check-package: tarvel holds files of the relay package" >&2
    exit 1
fi
grep -q "tarvel-relay (= $package_version)" <<<"$(dpkg-deb -f "$deb" Depends)" ||
    { echo "check-package: tarvel depends on: $(dpkg-deb -f "$deb" Depends)" >&2; exit 1; }

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
if ! compgen -G "$root/usr/share/icons/hicolor/*x*/apps/$icon.png" >/dev/null ||
    [ ! -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ]; then
    echo "check-package: the icon '$icon' named in the desktop entry is not in the package" \
        "in sizes and scalable" >&2
    exit 1
fi

metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
[ -e "${metainfo[0]}" ] || { echo "check-package: no AppStream metainfo in the package" >&2; exit 1; }
if ! messages=$(appstreamcli validate --pedantic --no-net --no-color "${metainfo[@]}" 2>&1) ||
    grep -qv -e '^$' -e '^✔ Validation was successful.$' <<<"$messages"; then
    echo "$messages"
    echo "check-package: appstreamcli validate --pedantic is not content with the metainfo" >&2
    exit 1
fi

# The command as users type it: with arguments the program runs where it is called; without, it
# prepares the user's working folder, open to the user alone even under umask 000, and opens the
# dialog there (ended here after a moment).
home=$root/home-check
mkdir "$home"
version=$(cd "$home" && "$root/usr/bin/tarvel-launch" --version)
if [[ $version != *"$(dpkg-deb -f "$deb" Version | cut -d- -f1)"* ]] || [ -e "$home/.local" ]; then
    echo "check-package: tarvel-launch --version said '$version' or made a working folder" >&2
    exit 1
fi
(umask 000 && cd / && HOME=$home XDG_RUNTIME_DIR=$home QT_QPA_PLATFORM=offscreen \
    timeout 3 "$root/usr/bin/tarvel" >/dev/null 2>&1) || true
modes=$(stat -c '%a %n' "$home/.local" "$home/.local/share" "$home/.local/share/tarvel" \
    "$home/.local/share/tarvel/InfoFile" "$home/.local/share/tarvel/InfoFile/ParameterSet.inf")
if [ "$(cut -d' ' -f1 <<<"$modes" | tr '\n' ' ')" != "700 700 700 700 600 " ]; then
    echo "$modes"
    echo "check-package: the working folder is open to others under umask 000" >&2
    exit 1
fi

# Root is what CI runs as; lintian only warns about it on its own error channel.
lintian --pedantic --fail-on error,warning,info,pedantic --info "$relay" "$deb" \
    2> >(grep -v 'running with root privileges' >&2)
echo "check-package: $(basename "$relay") and $(basename "$deb") pass lintian --pedantic;" \
    "tarvel passes desktop-file-validate and appstreamcli validate --pedantic"
