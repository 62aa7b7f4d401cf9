#!/usr/bin/env bash
# CI, after ./test.sh: builds the packages and checks them without installing
# anything on this machine. The node package and the static archive are
# unpacked into temporary folders and each serves one session of tests 1 and
# 2 on loopback to the unpacked program; the program package's files,
# permissions and install scripts are inspected. Prints each check.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

./scripts/package.sh >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
packages=$PWD/build/packages
program_deb=$packages/bandscope_${version}_amd64.deb
node_deb=$packages/bandscope-node_${version}_amd64.deb
static_tgz=$packages/bandscope-node-${version}-linux-x86_64.tar.gz

work=$(mktemp -d)
cleanup() {
    stop_node
    rm -rf "$work"
}
trap cleanup EXIT

checks=0
ok() {
    checks=$((checks + 1))
    echo "ok: $*"
}
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

for file in "$program_deb" "$node_deb" "$static_tgz"; do
    [[ -s "$file" ]] || fail "no $file"
done
ok "package.sh wrote $(basename "$program_deb"), $(basename "$node_deb"), $(basename "$static_tgz")"

# The node package: no graphical, capture or XML library.
node_depends=$(dpkg-deb -f "$node_deb" Depends)
grep -Eiq 'qt|pcap|xerces' <<<"$node_depends" && fail "bandscope-node depends on: $node_depends"
ok "bandscope-node Depends: $node_depends"

lintian_out=$(lintian "$program_deb" "$node_deb" 2>&1 | grep -v '^running with root privileges' || true)
grep -q '^E:' <<<"$lintian_out" && fail "lintian errors:"$'\n'"$lintian_out"
ok "lintian: no errors ($(grep -c '^W:' <<<"$lintian_out" || true) warnings)"

# Unpacked, never installed.
mkdir -p "$work/program" "$work/node" "$work/static" "$work/bare"
dpkg-deb -x "$program_deb" "$work/program"
dpkg-deb -x "$node_deb" "$work/node"
tar -xzf "$static_tgz" -C "$work/static"
program=$work/program/usr/bin/bandscope
node_program=$work/node/usr/bin/bandscope-node
static=$work/static/bandscope-node-${version}-linux-x86_64/bandscope-node

[[ "$("$program" --version)" == "bandscope $version" ]] || fail "bandscope --version: $("$program" --version)"
[[ "$("$node_program" --version)" == "bandscope-node $version" ]] || fail "node --version: $("$node_program" --version)"
[[ "$("$static" --version)" == "bandscope-node $version" ]] || fail "static --version: $("$static" --version)"
ok "--version of all three programs: $version"

[[ "$(ldd "$static" 2>&1)" == *"not a dynamic executable"* ]] || fail "the static node is dynamic: $(ldd "$static" 2>&1)"
for file in README bandscope-node.1; do
    [[ -s "$(dirname "$static")/$file" ]] || fail "the static archive has no $file"
done
ok "static node: ldd says not a dynamic executable; README and man page beside it"

# One session of tests 1 and 2 against a node, the command line given.
session() {
    local what=$1
    shift
    start_node 0 "$@" || fail "$what did not start: $(cat "$work/node.log")"
    local status=0
    "$program" --run --node 127.0.0.2 --client 127.0.0.1 --port "$port" --tests 1,2 --seconds 2 \
        >"$work/run.out" 2>&1 || status=$?
    stop_node
    [[ $status -eq 0 ]] || fail "session against $what: exit $status"$'\n'"$(cat "$work/run.out")"
    grep -q '^test 1 .* 2/2 s ' "$work/run.out" && grep -q '^test 2 .* 2/2 s ' "$work/run.out" ||
        fail "session against $what: tests 1 and 2 did not both run 2 s"$'\n'"$(cat "$work/run.out")"
    ok "session of tests 1 and 2, 2 s each, from the unpacked program against $what"
}
session "the unpacked node package's node" "$node_program"
# A bare system: a root folder holding nothing but the program.
cp "$static" "$work/bare/"
session "the static node alone in an empty chroot" chroot "$work/bare" /bandscope-node

# The program package: its files, their modes, its install scripts.
expected="./usr/bin/bandscope
./usr/share/applications/bandscope.desktop
./usr/share/doc-base/bandscope
./usr/share/doc/bandscope/Bandscope.pdf
./usr/share/doc/bandscope/changelog.gz
./usr/share/doc/bandscope/copyright
./usr/share/icons/hicolor/scalable/apps/bandscope.svg
./usr/share/man/man1/bandscope.1.gz"
listing=$(dpkg-deb -c "$program_deb")
files=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sort)
[[ "$files" == "$expected" ]] || fail "program package files:"$'\n'"$files"
ok "program package holds exactly: $(tr '\n' ' ' <<<"$files")"
awk '$1 ~ /[sS]/' <<<"$listing" | grep -q . && fail "a set-user-id or set-group-id file: $listing"
grep -q '^-rwxr-xr-x root/root .* ./usr/bin/bandscope$' <<<"$listing" ||
    fail "usr/bin/bandscope: $(grep usr/bin/bandscope <<<"$listing")"
ok "no set-user-id or set-group-id bit; usr/bin/bandscope is root:root 0755 until installed"
desktop=$work/program/usr/share/applications/bandscope.desktop
grep -q '^Categories=Network;' "$desktop" && grep -qx 'Icon=bandscope' "$desktop" ||
    fail "the desktop entry is not under Network with the icon"
ok "desktop entry under Network with the icon bandscope"

control=$work/control
dpkg-deb -e "$program_deb" "$control"
for script in postinst postrm; do
    sh -n "$control/$script" || fail "$script is not a valid shell script"
done
postinst=$(grep -v '^ *#' "$control/postinst")
for line in 'addgroup --quiet --system bandscope' \
    'dpkg-statoverride --update --add root bandscope 0750 /usr/bin/bandscope' \
    'setcap cap_net_raw+ep /usr/bin/bandscope'; do
    grep -qF "$line" <<<"$postinst" || fail "postinst lacks: $line"
done
# The capability follows the owner change, which would drop it.
[[ $(grep -n 'setcap' <<<"$postinst" | cut -d: -f1) -gt $(grep -n 'statoverride --update' <<<"$postinst" | cut -d: -f1) ]] ||
    fail "postinst sets the capability before changing the owner"
grep -Eiq 'net_admin|chmod [ugo]*\+s|[^0-9][2467][0-7]{3}[^0-9]' "$control/postinst" &&
    fail "postinst grants more than CAP_NET_RAW"
grep -q 'dpkg-statoverride --remove /usr/bin/bandscope' "$control/postrm" &&
    grep -q 'delgroup --quiet --system bandscope' "$control/postrm" ||
    fail "postrm does not take the override and the group back on purge"
ok "postinst: group bandscope, root:bandscope 0750 by dpkg-statoverride, then cap_net_raw+ep only; postrm purge undoes both"

# The node package's service: installed, not enabled, sandboxed.
unit=$work/node/lib/systemd/system/bandscope-node.service
dpkg-deb -e "$node_deb" "$work/node-control"
[[ "$(cat "$work/node-control/conffiles")" == "/etc/default/bandscope-node" ]] || fail "the node's conffiles"
for line in DynamicUser=yes NoNewPrivileges=yes CapabilityBoundingSet= ProtectSystem=strict PrivateTmp=yes \
    RestrictAddressFamilies=AF_INET EnvironmentFile=-/etc/default/bandscope-node; do
    grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
for script in postinst prerm postrm; do
    sh -n "$work/node-control/$script" || fail "the node's $script is not a valid shell script"
done
grep -Eq 'deb-systemd-invoke (start|restart)|systemctl (enable|start)' "$work/node-control/postinst" &&
    fail "the node's postinst enables or starts the service"
ok "node package: conffile /etc/default/bandscope-node; the unit sandboxed, neither enabled nor started"
if command -v systemd-analyze >/dev/null; then
    # The unit as shipped, its program at the unpacked place.
    sed "s|/usr/bin/bandscope-node|$node_program|" "$unit" >"$work/bandscope-node.service"
    verify=$(systemd-analyze verify --man=no "$work/bandscope-node.service" 2>&1 | grep -v '^running with root' || true)
    [[ -z "$verify" ]] || fail "systemd-analyze verify: $verify"
    exposure=$(systemd-analyze security --offline=true "$work/bandscope-node.service" 2>/dev/null |
        sed -n 's/.*Overall exposure level for [^:]*: //p')
    ok "systemd-analyze verify accepts the unit; exposure $exposure"
else
    echo "skipped: systemd-analyze is not installed"
fi

echo "Package check: $checks checks passed."
