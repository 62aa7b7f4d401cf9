#!/usr/bin/env bash
# Two network namespaces joined by a veth pair, for tests and benchmarks.
#
#   scripts/netns.sh up ID     creates bs<ID>a (10.199.ID.1/24 on veth bs<ID>a0)
#                              and bs<ID>b (10.199.ID.2/24 on veth bs<ID>b0)
#   scripts/netns.sh down ID   removes both (the veth pair goes with them)
#   scripts/netns.sh names ID  prints: nsA nsB addrA addrB ifA ifB
#
# ID is 1..254 so that concurrent runs do not collide; a caller usually takes
# one from its process id. "up" first removes leftovers of the same ID.
# Both namespaces get loopback up. Needs root and iproute2.
#
# The link is kept quiet, so that its interface counters hold only what a
# test sends: IPv6 is off in both namespaces (no router solicitations,
# neighbour discovery or MLD reports) and each side knows the other's MAC
# address permanently (no ARP).
set -euo pipefail

cmd=${1:-}
id=${2:-}
if [[ -z "$cmd" || ! "$id" =~ ^[0-9]+$ || "$id" -lt 1 || "$id" -gt 254 ]]; then
    echo "usage: $0 up|down|names ID   (ID 1..254)" >&2
    exit 2
fi

ns_a="bs${id}a"
ns_b="bs${id}b"
if_a="bs${id}a0"
if_b="bs${id}b0"
addr_a="10.199.${id}.1"
addr_b="10.199.${id}.2"

down() {
    ip netns del "$ns_a" 2>/dev/null || true
    ip netns del "$ns_b" 2>/dev/null || true
}

case "$cmd" in
up)
    down
    trap 'down' ERR
    ip netns add "$ns_a"
    ip netns add "$ns_b"
    for ns in "$ns_a" "$ns_b"; do
        # Before the veth exists, so that it never sends an IPv6 packet.
        if ip netns exec "$ns" test -d /proc/sys/net/ipv6; then
            ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
                net.ipv6.conf.default.disable_ipv6=1
        fi
    done
    ip link add "$if_a" netns "$ns_a" type veth peer name "$if_b" netns "$ns_b"
    ip -n "$ns_a" addr add "$addr_a/24" dev "$if_a"
    ip -n "$ns_b" addr add "$addr_b/24" dev "$if_b"
    for ns in "$ns_a" "$ns_b"; do
        ip -n "$ns" link set lo up
    done
    ip -n "$ns_a" link set "$if_a" up
    ip -n "$ns_b" link set "$if_b" up
    mac() { ip -n "$1" -o link show "$2" | sed -n 's|.*link/ether \([0-9a-f:]*\).*|\1|p'; }
    ip -n "$ns_a" neigh replace "$addr_b" lladdr "$(mac "$ns_b" "$if_b")" dev "$if_a" nud permanent
    ip -n "$ns_b" neigh replace "$addr_a" lladdr "$(mac "$ns_a" "$if_a")" dev "$if_b" nud permanent
    trap - ERR
    ;;
down)
    down
    ;;
names)
    echo "$ns_a $ns_b $addr_a $addr_b $if_a $if_b"
    ;;
*)
    echo "usage: $0 up|down|names ID" >&2
    exit 2
    ;;
esac
