#!/usr/bin/env bash
# Sets up, builds and runs Bandscope against a node of its own on this machine.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    cat <<'TEXT'
usage: sudo ./run.sh [--help]

Installs what is missing (Debian packages), builds Bandscope into build/, and
gives the program the capture privilege (the capability CAP_NET_RAW alone on
build/app/bandscope), so that the window never has to run as root. Then it
starts a local node, bandscope-node, on 127.0.0.2, and:

  with a display:    opens the Bandscope window as the user behind sudo (as
                     root only when there is no other user, and it says so),
                     from build/app, where Help > Manual finds Bandscope.pdf.
                     Type Node IP 127.0.0.2, pick Client IP 127.0.0.1, press
                     Start. The node stops when the window closes.
  without a display: runs all six tests of 5 seconds without a window
                     (bandscope --run) from 127.0.0.1, prints each second and
                     a table, writes results.xml and results.png into a new
                     folder under runs/ and names it, then stops the node.
TEXT
}

case "${1:-}" in
-h | --help) usage; exit 0 ;;
"") ;;
*) usage >&2; exit 2 ;;
esac

source scripts/setup.sh
[[ $EUID -eq 0 ]] || need_root "$0 $*"
install_missing
build build
setcap cap_net_raw+ep build/app/bandscope

# A node on 127.0.0.2: on port 20000 when it is free, else on a free pair.
work=$(mktemp -d)
cleanup() {
    stop_node
    rm -rf "$work"
}
trap cleanup EXIT
start_node 20000 || start_node 0 || { cat "$work/node.log" >&2; exit 1; }

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    folder=runs/$(date +%Y%m%d-%H%M%S)
    mkdir -p "$folder"
    echo "No display here: running the six tests without a window against the local node."
    status=0
    build/app/bandscope --run --node 127.0.0.2 --client 127.0.0.1 --port "$port" --seconds 5 \
        --save "$folder/results.xml" --chart "$folder/results.png" || status=$?
    cp "$work/node.log" "$folder/node.log"
    echo
    echo "Results are in $PWD/$folder: results.xml, results.png (the seven charts), node.log."
    echo "To see them in the window, run ./run.sh on a machine with a display (or under"
    echo "xvfb-run) and choose File > Load Test."
    exit "$status"
fi

echo "A local node listens on 127.0.0.2, port $port."
echo "In the window: Node IP 127.0.0.2, Node Port $port, Client IP 127.0.0.1, then Start."
user=${SUDO_USER:-}
cd build/app
if [[ -n "$user" && "$user" != root ]] && runuser -u "$user" -- test -x "$PWD/bandscope"; then
    runuser -u "$user" -- ./bandscope
else
    if [[ -n "$user" && "$user" != root ]]; then
        echo "The user $user cannot reach $PWD; the window runs as root."
    else
        echo "There is no user behind sudo; the window runs as root."
    fi
    ./bandscope
fi
