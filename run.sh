#!/usr/bin/env bash
# Developer entry point.
#   ./run.sh main   install what is missing, build, and show the module with drovdef
#   ./run.sh test   install what is missing, build, and run every test, also under
#                   AddressSanitizer and UndefinedBehaviorSanitizer
#   ./run.sh build  install what is missing and build
set -euo pipefail
cd "$(dirname "$0")"

# clang-14: the packaging tests build consumers with both compilers.
PACKAGES=(cmake g++ clang-14 make python3 pkg-config bzip2 libxml2-dev libbz2-dev
          libgtest-dev libgmock-dev libbenchmark-dev)
JOBS=$(nproc 2>/dev/null || echo 2)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "need root or sudo to install ${missing[*]}" >&2; exit 1; }
        sudo=sudo
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# The plain build is reproducible: its tests check that the library names no
# build folder, user or host.
plain_build() { build build -DDROV_DEF_REPRODUCIBLE=ON; }

build() { # build DIR [cmake options...]
    local dir=$1; shift
    cmake -S . -B "$dir" -DDROV_DEF_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$JOBS"
}

case "${1:-}" in
main)
    install_missing
    plain_build
    tool=build/tools/drovdef/drovdef
    lib=build/libdrov_def.so
    "$tool" types "$lib"
    "$tool" manifest "$lib"
    "$tool" build-info "$lib"
    "$tool" catalogue "$lib" | tail -n 3
    ;;
test)
    install_missing
    plain_build
    build build-asan -DDROV_DEF_SANITIZE=ON -DDROV_DEF_BENCH=OFF \
        -DDROV_DEF_TOOL_TEST_INPUT="$PWD/build/libdrov_def.so"
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    ctest --test-dir build-asan --output-on-failure -j"$JOBS"
    ctest --test-dir build --output-on-failure -j"$JOBS"
    ;;
build)
    install_missing
    plain_build
    ;;
*)
    echo "usage: $0 main|test|build" >&2
    exit 2
    ;;
esac
