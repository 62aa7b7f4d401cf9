#!/usr/bin/env bash
# Installs the missing packages of scripts/packages.txt and configures and
# builds the project incrementally. Sourced by run.sh, test.sh and the
# packaging scripts.
# Usage: setup.sh BUILD_DIR [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

need_root() {
    echo "Bandscope needs root to install packages and to capture packets." >&2
    echo "Run it as root:  sudo $1" >&2
    exit 1
}

install_missing() {
    local missing=()
    while read -r pkg; do
        [[ -z "$pkg" || "$pkg" == \#* ]] && continue
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done < "$root/scripts/packages.txt"
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

build() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

# start_node PORT [COMMAND...]: a node for a script, in the background, on
# 127.0.0.2 and PORT (0: a free pair); COMMAND is build/node/bandscope-node
# unless given. Its output goes to $work/node.out and $work/node.log. Sets node
# (its process id) and port once it listens; fails, leaving no node, when it
# does not start. stop_node ends it; call that from the script's EXIT trap too.
start_node() {
    local asked=$1
    shift
    (($#)) || set -- build/node/bandscope-node
    "$@" --bind 127.0.0.2 --port "$asked" >"$work/node.out" 2>"$work/node.log" &
    node=$!
    for _ in $(seq 100); do
        port=$(sed -n 's/^bandscope-node listening on .*:\([0-9]*\)$/\1/p' "$work/node.out")
        [[ -n "$port" ]] && return 0
        kill -0 "$node" 2>/dev/null || break
        sleep 0.1
    done
    stop_node
    return 1
}

stop_node() {
    if [[ -n "${node:-}" ]]; then
        kill "$node" 2>/dev/null && wait "$node" 2>/dev/null || true
    fi
    node=
}
