#!/usr/bin/env bash
# Builds the release and writes the packages into build/packages/:
#   bandscope_<version>_amd64.deb              the program (window and --run)
#   bandscope-node_<version>_amd64.deb         the node and its systemd service
#   bandscope-node-<version>-linux-x86_64.tar.gz  the node, statically linked
# Builds in build/release and build/static; build/ of ./test.sh stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
[[ $EUID -eq 0 ]] || need_root "$0 $*"
install_missing

# Debian's hardening (stack protector, fortified functions, read-only
# relocations, immediate binding), as a Debian package build would use it.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"

packages=build/packages
mkdir -p "$packages"
rm -f "$packages"/*.deb "$packages"/*.tar.gz

# A packaging configuration only takes the targets it ships (no tests).
configure() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "$@" >/dev/null
}

configure build/release
cmake --build build/release -j "$(nproc)" --target bandscope bandscope-node manual package_docs
(cd build/release && cpack -G DEB -B cpack >cpack.log 2>&1) || { cat build/release/cpack.log; exit 1; }
mv build/release/cpack/*.deb "$packages"/

# glibc warns that getaddrinfo, linked in with the socket layer, would need
# its shared libraries at run time: the node never calls it (--bind takes a
# dotted address only), so it needs no file of the system.
configure build/static -DBANDSCOPE_STATIC_NODE=ON
cmake --build build/static -j "$(nproc)" --target bandscope-node
(cd build/static && cpack -G TGZ -B cpack >cpack.log 2>&1) || { cat build/static/cpack.log; exit 1; }
mv build/static/cpack/*.tar.gz "$packages"/

echo "The packages, in $PWD/$packages:"
ls -l "$packages"
