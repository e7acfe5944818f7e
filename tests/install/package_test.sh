#!/usr/bin/env bash
# Packaging checks, one step per test (see CMakeLists.txt beside this file):
#
#   stage               install the built tree into $WORK/stage with prefix /usr
#   cmake-consumer      build the consumer with find_package against the stage, run it
#   pkgconfig-consumer  build the consumer with pkg-config against the stage, run it
#   configure-copy      copy the sources and configure the copy with prefix /usr
#   multiarch-pc        the copy's drov_def.pc, placed where that install puts it,
#                       must name the include and library folders of the install
#   generator-reruns    touching the copy's generator must make the next build
#                       configure again
#
# Everything is written under $WORK.  Exit status 77 means skipped.
set -euo pipefail

step=$1
here=$(cd "$(dirname "$0")" && pwd)
: "${WORK:?}" "${SRC:?}" "${BUILD:?}" "${CMAKE:?}" "${GENERATOR:?}" "${CC:?}" "${CXX:?}"
mkdir -p "$WORK"

# The consumers are built with no flags of their own, whatever the caller's
# environment says.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS LD_LIBRARY_PATH PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR

fail() { echo "FAIL: $*" >&2; exit 1; }

# logged LOG CMD...: runs CMD with its output in LOG, shown only on failure.
logged() {
    local log=$1; shift
    local rc=0
    "$@" >"$log" 2>&1 || rc=$?
    [ $rc -eq 0 ] || { cat "$log" >&2; fail "$* (exit $rc)"; }
}

need_pkg_config() {
    if [ -z "${PKG_CONFIG:-}" ] || ! command -v "$PKG_CONFIG" >/dev/null; then
        echo "pkg-config not found; skipped"
        exit 77
    fi
}

# expect_installed_library OUTPUT: the consumer must have loaded the staged file.
expect_installed_library() {
    local where
    where=$(sed -n 's/^record in: //p' <<<"$1")
    case $where in
    "$WORK/stage/"*) echo "record found in $where" ;;
    *) fail "the consumer loaded '$where', not the library under $WORK/stage" ;;
    esac
}

case $step in
stage)
    # The built tree keeps the library folder it was configured with (lib for
    # the default prefix); multiarch-pc covers the layout of a /usr configuration.
    rm -rf "$WORK/stage"
    DESTDIR="$WORK/stage" logged "$WORK/stage.log" "$CMAKE" --install "$BUILD" --prefix /usr
    ;;

cmake-consumer)
    out=$WORK/consumer-cmake
    rm -rf "$out"
    logged "$WORK/consumer-cmake.log" "$CMAKE" -S "$here/consumer" -B "$out" -G "$GENERATOR" \
        -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE= \
        -DCMAKE_PREFIX_PATH="$WORK/stage/usr"
    found=$(sed -n 's/^drov_def_DIR:PATH=//p' "$out/CMakeCache.txt")
    case $found in
    "$WORK/stage/usr/"*) ;;
    *) fail "find_package found the package in '$found', not under the stage" ;;
    esac
    logged "$WORK/consumer-cmake-build.log" "$CMAKE" --build "$out" -j2
    # The build tree's rpath names the staged library folder.
    result=$("$out/consumer") || fail "consumer built through find_package"
    expect_installed_library "$result"
    ;;

pkgconfig-consumer)
    need_pkg_config
    pc=$(find "$WORK/stage" -name drov_def.pc -path '*/pkgconfig/*')
    [ -n "$pc" ] || fail "no drov_def.pc under $WORK/stage"
    export PKG_CONFIG_LIBDIR
    PKG_CONFIG_LIBDIR=$(dirname "$pc")
    cflags=$("$PKG_CONFIG" --cflags drov_def)
    libs=$("$PKG_CONFIG" --libs drov_def)
    libdir=$("$PKG_CONFIG" --variable=libdir drov_def)
    echo "pkg-config: $cflags $libs"
    out=$WORK/consumer-pc
    rm -rf "$out" && mkdir -p "$out"
    # shellcheck disable=SC2086 # the flags are lists of words
    {
        logged "$out/record.log" "$CC" -c "$here/consumer/record.c" $cflags -o "$out/record.o"
        logged "$out/consumer.log" "$CXX" "$here/consumer/consumer.cpp" "$out/record.o" $cflags \
            $libs -lqel_standin -ldl -o "$out/consumer"
    }
    result=$(LD_LIBRARY_PATH=$libdir "$out/consumer") || fail "consumer built through pkg-config"
    expect_installed_library "$result"
    ;;

configure-copy)
    copy=$WORK/copy
    rm -rf "$copy" && mkdir -p "$copy/src"
    excludes=(--anchored --exclude-vcs --exclude='./build*')
    [ -n "${BUILD_IN_SRC:-}" ] && excludes+=(--exclude="./$BUILD_IN_SRC")
    tar -C "$SRC" "${excludes[@]}" -cf - . | tar -C "$copy/src" -xf -
    logged "$WORK/copy-configure.log" "$CMAKE" -S "$copy/src" -B "$copy/build" -G "$GENERATOR" \
        -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_INSTALL_PREFIX=/usr \
        -DBUILD_TESTING=OFF -DDROV_DEF_BENCH=OFF
    ;;

multiarch-pc)
    # Installing the copy would mean building the library a second time; of
    # what it installs only drov_def.pc depends on the library folder's depth
    # (the CMake package computes its own prefix).
    need_pkg_config
    build=$WORK/copy/build
    libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
    includedir=$(sed -n 's/^CMAKE_INSTALL_INCLUDEDIR:PATH=//p' "$build/CMakeCache.txt")
    echo "library folder of a /usr install: $libdir"
    root=$WORK/multiarch
    rm -rf "$root" && mkdir -p "$root/usr/$libdir/pkgconfig"
    cp "$build/drov_def.pc" "$root/usr/$libdir/pkgconfig/"
    export PKG_CONFIG_LIBDIR=$root/usr/$libdir/pkgconfig
    flags=$("$PKG_CONFIG" --cflags --libs drov_def)
    echo "pkg-config: $flags"
    seen_i="" seen_l=""
    for word in $flags; do
        case $word in
        -I*) seen_i=$(realpath -m "${word#-I}") ;;
        -L*) seen_l=$(realpath -m "${word#-L}") ;;
        esac
    done
    [ "$seen_i" = "$root/usr/$includedir" ] || fail "include folder '$seen_i', expected $root/usr/$includedir"
    [ "$seen_l" = "$root/usr/$libdir" ] || fail "library folder '$seen_l', expected $root/usr/$libdir"
    ;;

generator-reruns)
    build=$WORK/copy/build
    case $GENERATOR in
    *Makefiles*) check_target=cmake_check_build_system ;;
    Ninja*) check_target=build.ninja ;;
    *) echo "no build-system check target known for '$GENERATOR'; skipped"; exit 77 ;;
    esac
    # CMakeCache.txt is written by every configure run.
    before=$(stat -c %.9Y "$build/CMakeCache.txt")
    touch "$WORK/copy/src/tools/gen/drovgen.py"
    logged "$WORK/copy-recheck.log" "$CMAKE" --build "$build" --target "$check_target"
    after=$(stat -c %.9Y "$build/CMakeCache.txt")
    [ "$before" != "$after" ] || fail "the build did not configure again after the generator changed"
    ;;

*)
    echo "unknown step: $step" >&2
    exit 2
    ;;
esac
