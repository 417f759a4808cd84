#!/usr/bin/env bash
# Cost of one live traffic sample with many network cards: for each count, a network namespace
# holding loopback and that many veth cards (pairs, all up, no traffic), with the traffic
# benchmark's live case run inside it. Needs root; the namespace is removed at the end.
#   bench/traffic_netns.sh [build/bench/traffic_bench] [cards ...]     (default 2 50 500)
set -euo pipefail
bench=$(realpath "${1:-build/bench/traffic_bench}")
shift $(($# > 0 ? 1 : 0))
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(2 50 500)

ns=tarvel-bench-$$
trap 'ip netns delete "$ns" 2>/dev/null || true' EXIT
for cards in "${counts[@]}"; do
    ip netns delete "$ns" 2>/dev/null || true
    ip netns add "$ns"
    {
        echo "link set lo up"
        for ((i = 0; i < cards / 2; i++)); do
            echo "link add tb$i type veth peer name tc$i"
            echo "link set tb$i up"
            echo "link set tc$i up"
        done
    } | ip -n "$ns" -batch -
    echo "== $cards veth cards and loopback"
    ip netns exec "$ns" "$bench" --benchmark_filter=BM_SampleLive --benchmark_min_time=1
done
