#!/usr/bin/env bash
# CPU used by the idle running program (graph sampling once and redrawing ten times a second, no
# relay) over a while, and the same figure for a bare Qt dialog that repaints a panel of the
# graph's size as often (bench/idle_reference.cpp): the toolkit's own floor on this machine.
#   bench/idle_cpu.sh [build/tarvel] [seconds] [build/bench/idle_reference]
#   IDLE_TOOL=callgrind bench/idle_cpu.sh ...
# The second form counts the instructions executed instead of the CPU time: much slower to run,
# but steady on a busy or virtual machine, where an idle process's CPU time varies severalfold
# with what else runs. Each program runs on its own virtual X display in a scratch working folder.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
program=$(realpath "${1:-build/tarvel}")
seconds=${2:-30}
reference=$(realpath "${3:-$(dirname "$program")/bench/idle_reference}")

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/InfoFile" && cp "$here/../res/InfoFile/ParameterSet.inf" "$work/InfoFile/"

# measure <label> <program>
measure() {
    local display=:$((150 + RANDOM % 50))
    Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
    local xvfb=$!
    pids+=("$xvfb")
    sleep 1
    local tool=()
    [ "${IDLE_TOOL:-}" = callgrind ] &&
        tool=(valgrind --tool=callgrind "--callgrind-out-file=$work/callgrind.%p")
    # Its own runtime folder: a copy running elsewhere on the machine holds no lock it sees.
    (cd "$work" && DISPLAY=$display XDG_RUNTIME_DIR=$work exec "${tool[@]}" "$2") >/dev/null 2>&1 &
    local app=$!
    pids+=("$app")

    if [ "${IDLE_TOOL:-}" = callgrind ]; then
        sleep 10 # start-up is slow under the tool
        callgrind_control -z "$app" >/dev/null 2>&1
        sleep "$seconds"
        callgrind_control -d "$app" >/dev/null 2>&1
        sleep 1
        awk -v label="$1" -v s="$seconds" '/^(summary|totals):/ {
                printf "%s: %.2f million instructions a second\n", label, $2 / s / 1e6; exit }' \
            "$work/callgrind.$app.1"
    else
        sleep 3 # let start-up finish before measuring
        local hz before after
        hz=$(getconf CLK_TCK)
        before=$(awk '{print $14 + $15}' "/proc/$app/stat")
        sleep "$seconds"
        after=$(awk '{print $14 + $15}' "/proc/$app/stat")
        awk -v label="$1" -v t=$((after - before)) -v hz="$hz" -v s="$seconds" 'BEGIN {
                printf "%s: %.2f s of CPU in %d s = %.2f %% of one core\n",
                       label, t / hz, s, 100 * t / hz / s }'
    fi
    kill -0 "$app" 2>/dev/null || { echo "$1 ended before the measurement did" >&2; exit 1; }
    kill "$app" "$xvfb" 2>/dev/null || true
    wait "$app" "$xvfb" 2>/dev/null || true
}

measure "idle program" "$program"
measure "bare Qt reference" "$reference"
