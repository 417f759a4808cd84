#!/bin/sh
# Starts Tarvel in a working folder of the user's own. The program keeps its settings in
# InfoFile/ParameterSet.inf under its current directory and will not run without that file, so
# each user gets a copy of the installed default on first start; later starts never overwrite it.
set -eu

prefix=$(CDPATH='' cd -- "$(dirname -- "$(readlink -f -- "$0")")/.." && pwd)
share="$prefix/share/tarvel"
program="$prefix/libexec/tarvel/tarvel"
work="${XDG_DATA_HOME:-$HOME/.local/share}/tarvel"

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

cd "$work"
exec "$program" "$@"
