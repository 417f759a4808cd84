#!/usr/bin/env bash
# Checks the relay service as systemd reads it: systemd-analyze verify on a copy whose program
# path points at the program of this build (verify also checks that the program exists). The
# manual page it names is installed only with the package, so it is not looked up here.
#   packaging/check-service.sh <unit file> <installed program path> <built program>
# Exits 77 (skipped) where systemd-analyze is missing or cannot run here.
set -euo pipefail
unit=${1:?usage: check-service.sh <unit> <installed program> <built program>}
installed=${2:?}
built=${3:?}
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "check-service: skipped, systemd-analyze is not installed" >&2
    exit 77
fi
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
name=$(basename "$unit")
sed "s|$installed|$built|g" "$unit" >"$copy/$name"
if ! output=$(systemd-analyze verify --man=no "$copy/$name" 2>&1); then
    # Without a running systemd some machines cannot load units at all.
    if grep -q -e 'Failed to initialize manager' -e 'Failed to setup working directory' <<<"$output"; then
        echo "check-service: skipped, systemd-analyze cannot run here: $output" >&2
        exit 77
    fi
    echo "$output" >&2
    exit 1
fi
if [ -n "$output" ]; then
    echo "$output" >&2
    echo "check-service: systemd-analyze has remarks on $name" >&2
    exit 1
fi
echo "check-service: $name passes systemd-analyze verify"
