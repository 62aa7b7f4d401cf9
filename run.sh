#!/usr/bin/env bash
# Installs what is missing, builds, and starts Bandscope's main job.
# Until the main window exists this is the node, bandscope-node, on port
# 20000: the peer that a client measures against. Extra arguments go to it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
[[ $EUID -eq 0 ]] || need_root "$0 $*"
install_missing
build build

if [[ -x build/app/bandscope ]]; then
    echo "Starting Bandscope, the throughput tester."
    exec build/app/bandscope "$@"
elif [[ -x build/node/bandscope-node ]]; then
    echo "The main window is not built yet; starting the node, bandscope-node, instead."
    echo "It serves throughput tests on TCP and UDP port 20000. Ctrl+C ends it."
    exec build/node/bandscope-node "$@"
else
    echo "Built the libraries and tests; no program exists yet. Run ./test.sh to run the tests."
fi
