#!/bin/sh
# The command users type. Without arguments it starts the dialog in a working folder of the user's
# own: the program keeps its settings in InfoFile/ParameterSet.inf under its current directory and
# will not run without that file, so each user gets a copy of the installed default on first
# start; later starts never overwrite it. With arguments (--headless, --help, ...) it runs the
# program as it is, where it is called. Also installed as tarvel-launch, its former name.
set -eu

prefix=$(CDPATH='' cd -- "$(dirname -- "$(readlink -f -- "$0")")/.." && pwd)
program="$prefix/libexec/tarvel/tarvel"
if [ $# -gt 0 ]; then
    exec "$program" "$@"
fi

share="$prefix/share/tarvel"
work="${XDG_DATA_HOME:-$HOME/.local/share}/tarvel"
# The folders and the settings are the user's own, whatever the umask says; the program itself
# runs with the caller's umask.
callers_umask=$(umask)
umask 077
mkdir -p "$work/InfoFile"
settings="$work/InfoFile/ParameterSet.inf"
if [ ! -e "$settings" ]; then
    cp "$share/InfoFile/ParameterSet.inf" "$settings"
    chmod u+w "$settings"
fi
# The help page follows the installed version.
if [ -f "$share/Tarvel.html" ]; then
    cp -f "$share/Tarvel.html" "$work/Tarvel.html"
fi
umask "$callers_umask"

cd "$work"
exec "$program"
