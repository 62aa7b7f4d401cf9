#!/usr/bin/env bash
# Installs what is missing, builds, and starts Bandscope with a node of its
# own to measure against: bandscope-node on 127.0.0.2, stopped again when the
# window closes.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
[[ $EUID -eq 0 ]] || need_root "$0 $*"
install_missing
build build

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display here: the Bandscope window needs one (run it on a desktop, or under xvfb-run)."
    exit 0
fi

build/node/bandscope-node --bind 127.0.0.2 &
node=$!
trap 'kill "$node" 2>/dev/null; wait "$node" 2>/dev/null || true' EXIT
echo "A local node listens on 127.0.0.2, port 20000."
echo "In the window: Node IP 127.0.0.2, Client IP 127.0.0.1, then Start."
build/app/bandscope
