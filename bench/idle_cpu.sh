#!/usr/bin/env bash
# CPU used by the idle running program (graph sampling and redrawing, no relay) over a while.
#   bench/idle_cpu.sh [build/tarvel] [seconds]
# Starts the program on a virtual X display in a scratch working folder and reads its CPU time
# from /proc before and after.
set -euo pipefail
program=$(realpath "${1:-build/tarvel}")
seconds=${2:-30}
defaults=$(dirname "$(realpath "$0")")/../res/InfoFile/ParameterSet.inf
work=$(mktemp -d)
trap 'kill "${app:-0}" "${xvfb:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/InfoFile" && cp "$defaults" "$work/InfoFile/ParameterSet.inf"

display=:$((150 + RANDOM % 50))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
(cd "$work" && DISPLAY=$display exec "$program") >/dev/null 2>&1 &
app=$!
sleep 3 # let start-up finish before measuring

ticks() { awk '{print $14 + $15}' "/proc/$app/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" \
    'BEGIN { printf "idle CPU: %.2f s of CPU in %d s = %.2f %% of one core\n", t / hz, s, 100 * t / hz / s }'
