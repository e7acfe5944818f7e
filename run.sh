#!/usr/bin/env bash
# Developer entry point.
#   ./run.sh main   install what is missing, build, show the module with drovdef,
#                   and run examples/roundtrip.c
#   ./run.sh test   install what is missing, build, and run every test, also
#                   built with clang++ 14 under AddressSanitizer and
#                   UndefinedBehaviorSanitizer; then build everything with
#                   clang++ 14 and ThreadSanitizer and run the tests labelled
#                   tsan there
#   ./run.sh build  install what is missing and build
#   ./run.sh fuzz [SECONDS] [HARNESS...]
#                   install what is missing (clang 14 and libFuzzer with it), build
#                   the harnesses with clang, run each for SECONDS (default 60;
#                   FUZZ_JOBS=2 runs two at once), grow and minimise
#                   fuzz/corpus/<harness>, and print executions and coverage
set -euo pipefail
cd "$(dirname "$0")"

# clang-14 and its runtime: the sanitizer builds, fuzzing, and the
# packaging tests that build consumers with both compilers.
# The Python package: pybind11 and the headers of Debian's python3, its
# tests (pytest, hypothesis), and Protocol Buffers' Python package with
# protoc for the Python benchmark beside it.
PACKAGES=(cmake g++ make python3 pkg-config bzip2 libxml2-dev libbz2-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          clang-14 libclang-rt-14-dev
          pybind11-dev python3-dev python3-pytest python3-hypothesis python3-protobuf protobuf-compiler
          doxygen ccache)
FUZZ_HARNESSES=(unmarshal clone from_xml drovdef verify cxx)
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

# Builds compile through ccache (installed above) unless DROV_DEF_CCACHE=OFF
# is in the environment; CCACHE_DISABLE=1 skips its cache for one run.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}

# The plain build is reproducible: its tests check that the library names no
# build folder, user or host.
plain_build() { build build -DDROV_DEF_REPRODUCIBLE=ON; }

build() { # build DIR [cmake options...] [-- build options...]
    local dir=$1; shift
    local opts=() more=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do opts+=("$1"); shift; done
    [ $# -gt 0 ] && { shift; more=("$@"); }
    cmake -S . -B "$dir" -DDROV_DEF_WERROR=ON -DDROV_DEF_CCACHE="${DROV_DEF_CCACHE:-ON}" "${opts[@]}" >/dev/null
    cmake --build "$dir" -j"$JOBS" "${more[@]}"
}

# fuzz_one HARNESS SECONDS: grows the harness's corpus in a work folder from
# the kept corpus and the starting inputs, then minimises all of them back
# into fuzz/corpus/HARNESS; prints executions, their rate and coverage.
fuzz_one() {
    local h=$1 secs=$2 bin=build-fuzz/fuzz/fuzz_$1 out=build-fuzz/fuzz-runs/$1 found=()
    [ -d "fuzz/found/$h" ] && found=("fuzz/found/$h")
    rm -rf "$out" && mkdir -p "$out/work" "$out/merged" "fuzz/corpus/$h"
    # Plain scheduling: the entropic one spends most of its time on its
    # bookkeeping over the library's many edges (seven times fewer inputs).
    "$bin" -entropic=0 -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/" "$out/work" "fuzz/corpus/$h" "${found[@]}" "build-fuzz/starting_inputs/$h" \
        >"$out/run.log" 2>&1 || { tail -n 60 "$out/run.log"; echo "fuzz_$h: FAULT (input in $out/)"; return 1; }
    # Kept small: the fewest inputs that reach every edge reached.
    "$bin" -set_cover_merge=1 -use_counters=0 "$out/merged" "fuzz/corpus/$h" "$out/work" "build-fuzz/starting_inputs/$h" \
        >"$out/merge.log" 2>&1 || { tail -n 30 "$out/merge.log"; return 1; }
    rm -rf "fuzz/corpus/$h" && mv "$out/merged" "fuzz/corpus/$h"
    local execs rate last
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/run.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/run.log")
    last=$(grep -E '^#[0-9]+.*cov: ' "$out/run.log" | tail -n 1)
    printf '%-10s executions %10s  exec/s %7s  cov %6s  ft %6s  corpus %4s files\n' "$h" "$execs" "$rate" \
        "$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")" "$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")" \
        "$(find "fuzz/corpus/$h" -type f | wc -l)"
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
    # And the library at work: examples/roundtrip.c.
    echo
    echo "== examples/roundtrip.c: a vm_act_rsp built, encoded, decoded, printed, as XML and back"
    build/examples/roundtrip_c
    ;;
test)
    install_missing
    plain_build
    # The checked builds use clang: at -O0 it compiles them in half the
    # time GCC takes, and its UndefinedBehaviorSanitizer leaves a tenth of
    # the load-time relocations in the library (a test program starts in
    # 70 ms rather than 250 ms).  The plain build stays with GCC.
    build build-asan -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
        -DDROV_DEF_SANITIZE=ON -DDROV_DEF_BENCH=OFF \
        -DDROV_DEF_TOOL_TEST_INPUT="$PWD/build/libdrov_def.so"
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    ctest --test-dir build-asan --output-on-failure -j"$JOBS"
    ctest --test-dir build --output-on-failure -j"$JOBS"
    # The library, the runtime and the tool again with clang (warning-free
    # there too) under ThreadSanitizer, with the tests labelled tsan: only
    # what those tests run is built.
    replays=()
    for h in "${FUZZ_HARNESSES[@]}"; do replays+=("fuzz_${h}_replay"); done
    build build-tsan -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
        -DDROV_DEF_TSAN=ON -DDROV_DEF_BENCH=OFF -- --target drov_def qel_standin drovdef \
        concurrency_test "${replays[@]}"
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1} \
        ctest --test-dir build-tsan -L tsan --output-on-failure -j"$JOBS"
    ;;
build)
    install_missing
    plain_build
    ;;
fuzz)
    install_missing
    secs=${2:-60}
    harnesses=("${@:3}")
    [ ${#harnesses[@]} -eq 0 ] && harnesses=("${FUZZ_HARNESSES[@]}")
    # Starting inputs from the plain build's library: its few hundred
    # relocations keep the file image small.
    cmake -S . -B build -DDROV_DEF_WERROR=ON -DDROV_DEF_REPRODUCIBLE=ON >/dev/null
    cmake --build build -j"$JOBS" --target make_corpus
    rm -rf build-fuzz/starting_inputs
    build/fuzz/make_corpus build-fuzz/starting_inputs build/libdrov_def.so
    CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DDROV_DEF_WERROR=ON -DDROV_DEF_FUZZ=ON \
        -DBUILD_TESTING=OFF -DDROV_DEF_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j"$JOBS" --target "${harnesses[@]/#/fuzz_}"
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    rc=0 running=0
    for h in "${harnesses[@]}"; do
        fuzz_one "$h" "$secs" > "build-fuzz/fuzz-$h.summary" 2>&1 &
        running=$((running + 1))
        if [ "$running" -ge "${FUZZ_JOBS:-1}" ]; then wait -n || rc=1; running=$((running - 1)); fi
    done
    while [ "$running" -gt 0 ]; do wait -n || rc=1; running=$((running - 1)); done
    for h in "${harnesses[@]}"; do cat "build-fuzz/fuzz-$h.summary"; done
    exit $rc
    ;;
*)
    echo "usage: $0 main|test|build|fuzz [SECONDS] [HARNESS...]" >&2
    exit 2
    ;;
esac
