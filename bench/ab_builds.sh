#!/usr/bin/env bash
# One test of two builds side by side: which of two changes moves more, and
# at what cost, on this machine now. The builds alternate round by round, so
# that a machine that slows down or speeds up during the run treats both
# alike; on a shared machine single runs of the same build differ by 10 to
# 20 %, and only the medians of several alternating rounds tell a change.
#
#   bench/ab_builds.sh BUILD_A BUILD_B [test, default 3] [rounds, default 6]
#                      [seconds per test, default 8]
#
# BUILD_A and BUILD_B are build folders (with node/bandscope-node and
# app/bandscope). Needs root. Runs the node in one network namespace and
# `bandscope --run` in the other (scripts/netns.sh), over veth, and prints
# per round the test's mean rates as `--run` shows them, their sum, and the
# CPU seconds per GB of each program (user and system time over the whole
# run, so a program's start counts too), then the medians per build. The
# node it starts is ended by its pid, and the namespaces are removed.
set -euo pipefail

if [[ $# -lt 2 || ! -x "$1/node/bandscope-node" || ! -x "$2/node/bandscope-node" ]]; then
    echo "usage: $0 BUILD_A BUILD_B [test 1-6] [rounds] [seconds]" >&2
    exit 2
fi
build_a=$(cd "$1" && pwd)
build_b=$(cd "$2" && pwd)
test_kind=${3:-3}
rounds=${4:-6}
seconds=${5:-8}
here=$(cd "$(dirname "$0")/.." && pwd)
id=$(($$ % 200 + 20))
read -r ns_a ns_b addr_a addr_b _ _ < <("$here/scripts/netns.sh" names "$id")
work=$(mktemp -d)
node_pid= # /usr/bin/time's, whose child is the node itself once ip has run it
stop_node() {
    [[ -z "$node_pid" ]] && return
    kill -INT "$(pgrep -P "$node_pid" || echo "$node_pid")" 2>/dev/null || true
    wait "$node_pid" 2>/dev/null || true
    node_pid=
}
cleanup() {
    stop_node
    "$here/scripts/netns.sh" down "$id" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
"$here/scripts/netns.sh" up "$id" >/dev/null

run_one() { # build label
    local build=$1 label=$2
    ip netns exec "$ns_a" /usr/bin/time -f "%U %S" -o "$work/node.time" \
        "$build/node/bandscope-node" --bind "$addr_a" >/dev/null 2>&1 &
    node_pid=$!
    sleep 0.3
    /usr/bin/time -f "%U %S" -o "$work/client.time" ip netns exec "$ns_b" \
        env QT_QPA_PLATFORM=offscreen "$build/app/bandscope" --run --node "$addr_a" \
        --client "$addr_b" --tests "$test_kind" --seconds "$seconds" >"$work/run.out" 2>&1 || true
    stop_node
    # The table's line: "3 TCP - Upload/Download test", the samples, then
    # download mean and peak, upload mean and peak ('-' where there is none).
    awk -v label="$label" -v s="$seconds" -v t="$test_kind" \
        -v client="$(tail -1 "$work/client.time")" -v node="$(tail -1 "$work/node.time")" '
        $1 == t && $3 == "-" { d = $7 == "-" ? 0 : $7; u = $9 == "-" ? 0 : $9 }
        END {
            split(client, c, " "); split(node, m, " ")
            gb = (d + u) * s / 1e6
            if (gb <= 0) { printf "%-8s no rates (see the run'"'"'s output)\n", label; exit }
            printf "%-8s down %8d up %8d KB/s  sum %.2f GB/s  CPU s/GB client %.3f node %.3f total %.3f\n",
                label, d, u, (d + u) / 1e6, (c[1] + c[2]) / gb, (m[1] + m[2]) / gb,
                (c[1] + c[2] + m[1] + m[2]) / gb
        }' "$work/run.out" | tee -a "$work/rounds"
}

echo "test $test_kind, $rounds round(s) of $seconds s; A = $build_a, B = $build_b"
for ((r = 1; r <= rounds; ++r)); do
    if ((r % 2)); then run_one "$build_a" A; run_one "$build_b" B
    else run_one "$build_b" B; run_one "$build_a" A; fi
done
echo "medians:"
for label in A B; do
    awk -v label="$label" '$1 == label && $2 == "down" { sum[++n] = $8; cpu[n] = $NF }
        function median(a, n,   i, j, t) {
            for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        END { if (n) printf "%-8s sum %.2f GB/s  CPU s/GB total %.3f  (%d rounds)\n", label, median(sum, n), median(cpu, n), n }' \
        "$work/rounds"
done
