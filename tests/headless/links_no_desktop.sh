#!/bin/sh
# The relay program loads the C and C++ runtimes and nothing of the desktop: no Qt, no X, no GL,
# no fonts, and not the systemd library either (systemd is spoken to directly: its library and
# what it loads would take the program past its memory target). Fails too when the dynamic linker
# cannot tell what it loads.
#   links_no_desktop.sh <program>
set -eu
libraries=$(ldd "$1")
printf '%s\n' "$libraries"
printf '%s\n' "$libraries" | grep -q 'libc\.so' || { echo "ldd shows no C library" >&2; exit 1; }
if printf '%s\n' "$libraries" | grep -Ei 'libQt|libX|libxcb|libGL|libEGL|libfont|libfreetype|libicu|libsystemd'; then
    echo "the relay program loads a library it must not" >&2
    exit 1
fi
