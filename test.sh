#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   ./test.sh              the whole suite in build/
#   ./test.sh --sanitize   the suite under ASan+UBSan (build-asan/) and TSan (build-tsan/)
#   ./test.sh -R NAME      only the tests whose name matches (passed to ctest)
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
[[ $EUID -eq 0 ]] || need_root "$0 $*"
install_missing

export QT_QPA_PLATFORM=offscreen
if [[ "${1:-}" == "--sanitize" ]]; then
    shift
    build build-asan -DBANDSCOPE_SANITIZE=address
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j 2 "$@"
    build build-tsan -DBANDSCOPE_SANITIZE=thread
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1 \
        ctest --test-dir build-tsan --output-on-failure -j 2 "$@"
else
    build build
    ctest --test-dir build --output-on-failure -j 2 "$@"
fi
