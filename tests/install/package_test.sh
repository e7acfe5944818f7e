#!/usr/bin/env bash
# Packaging checks, one step per test (see CMakeLists.txt beside this file):
#
#   stage                   install the built tree into $WORK/stage with prefix /usr
#   installed-tool          the staged drovdef reads the staged library by default and
#                           decodes a message through it
#   cmake-consumer FAMILY   build the consumer with find_package against the stage with
#                           the compilers of FAMILY (gnu or clang), run it
#   pkgconfig-consumer FAMILY  the same through pkg-config
#   examples-cmake FAMILY   build examples/ (C and C++) with find_package against the
#                           stage with the compilers of FAMILY, run them, compare their
#                           output with tests/golden/examples
#   examples-pkgconfig FAMILY  the same through pkg-config
#   python-import       the staged Python package imports as the README says
#                       (PYTHONPATH=<prefix>/lib/python3/dist-packages), with the
#                       standard library only, and uses the staged library
#   configure-copy      copy the sources and configure the copy with prefix /usr
#   multiarch-pc        the copy's drov_def.pc, placed where that install puts it,
#                       must name the include and library folders of the install
#   generator-reruns    touching the copy's generator must make the next build
#                       configure again
#
# The consumers and examples are built with no flags of their own (but
# -std=c++20 for the C++ classes through pkg-config, whose flags are the same
# for C and C++; the CMake target asks for C++20 itself) and run without
# LD_LIBRARY_PATH:
# find_package's build tree has the staged library folder as its run path,
# and the pkg-config builds link with the run path the README asks for when
# the prefix is not one the loader searches.
#
# Everything is written under $WORK.  Exit status 77 means skipped.
set -euo pipefail

step=$1
family=${2:-}
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

# compilers FAMILY: sets cc and cxx, or skips the step.
compilers() {
    case $1 in
    gnu) cc=${GNU_CC:-} cxx=${GNU_CXX:-} ;;
    clang) cc=${CLANG_CC:-} cxx=${CLANG_CXX:-} ;;
    *) echo "unknown compiler family '$1'" >&2; exit 2 ;;
    esac
    if [ -z "$cc" ] || [ -z "$cxx" ] || [[ $cc == *-NOTFOUND ]] || [[ $cxx == *-NOTFOUND ]]; then
        echo "no $1 C and C++ compilers found; skipped"
        exit 77
    fi
}

# expect_no_record_copies PROGRAM: the program reaches the records through
# the GOT; a copy relocation would give it a record without the variant
# information in front of it.
expect_no_record_copies() {
    local copies
    copies=$("${READELF:-readelf}" -rW "$1" | grep 'R_X86_64_COPY.*_type_info_internal' || true)
    [ -z "$copies" ] || fail "$1 has copy relocations of type-info records: $copies"
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

# use_staged_pc: pkg-config reads the staged drov_def.pc first.
use_staged_pc() {
    need_pkg_config
    local pc
    pc=$(find "$WORK/stage" -name drov_def.pc -path '*/pkgconfig/*')
    [ -n "$pc" ] || fail "no drov_def.pc under $WORK/stage"
    # Searched before the system's folders, which have libxml-2.0.
    export PKG_CONFIG_PATH
    PKG_CONFIG_PATH=$(dirname "$pc")
}

# expect_staged_package BUILD_DIR: find_package found the package under the stage.
expect_staged_package() {
    local found
    found=$(sed -n 's/^drov_def_DIR:PATH=//p' "$1/CMakeCache.txt")
    case $found in
    "$WORK/stage/usr/"*) ;;
    *) fail "find_package found the package in '$found', not under the stage" ;;
    esac
}

# run_example NAME PROGRAM GOLDEN [ARG]: the example's output must be GOLDEN's.
run_example() {
    local name=$1 program=$2 golden=$3 arg=${4:-}
    logged "$program-$name.log" "$CMAKE" -DPROGRAM="$program" -DARGS="$arg" \
        -DGOLDEN="$SRC/tests/golden/examples/$golden" -DOUT="$program-$name.out" \
        -P "$SRC/examples/check_output.cmake"
    echo "$name: as $golden"
}

case $step in
stage)
    # The built tree keeps the library folder it was configured with (lib for
    # the default prefix); multiarch-pc covers the layout of a /usr configuration.
    rm -rf "$WORK/stage"
    DESTDIR="$WORK/stage" logged "$WORK/stage.log" "$CMAKE" --install "$BUILD" --prefix /usr
    ;;

installed-tool)
    # Beside its library the tool needs no LIBRARY argument.
    tool=$WORK/stage/usr/bin/drovdef
    [ -x "$tool" ] || fail "no drovdef under $WORK/stage/usr/bin"
    "$tool" manifest >"$WORK/installed-manifest" || fail "the installed drovdef without LIBRARY"
    cmp "$WORK/installed-manifest" "$SRC/tests/golden/frame/manifest" ||
        fail "the installed drovdef read another manifest"
    for f in share/drov_def/drov_def.schema include/drov_def/drov_def.h \
             include/drov_def/drov_def_types.h; do
        [ -f "$WORK/stage/usr/$f" ] || fail "$f is not installed"
    done
    # The message commands run on the staged library it is linked with.
    "$tool" decode vm_act_rsp --hex "$SRC/tests/golden/drovdef/act_rsp.hex" >"$WORK/installed-decode" \
        2>/dev/null || fail "the installed drovdef decode"
    cmp "$WORK/installed-decode" "$SRC/tests/golden/drovdef/act_rsp.print" ||
        fail "the installed drovdef decoded another message"
    # Away from the library it reads by default it says which file it looked
    # for (the loader still finds the libraries the tool is linked with).
    mkdir -p "$WORK/lonely/bin" && cp "$tool" "$WORK/lonely/bin/"
    staged_lib=$(dirname "$(find "$WORK/stage/usr" -name 'libdrov_def.so.0' | head -n 1)")
    rc=0
    LD_LIBRARY_PATH=$staged_lib "$WORK/lonely/bin/drovdef" types >"$WORK/lonely/out" 2>"$WORK/lonely/err" || rc=$?
    [ $rc -eq 1 ] && [ ! -s "$WORK/lonely/out" ] && [ "$(wc -l <"$WORK/lonely/err")" -eq 1 ] &&
        grep -q "^drovdef: $WORK/lonely/lib.*/libdrov_def\.so\.0: " "$WORK/lonely/err" ||
        fail "drovdef without a library: exit $rc, $(cat "$WORK/lonely/err")"
    ;;

cmake-consumer)
    compilers "$family"
    out=$WORK/consumer-cmake-$family
    rm -rf "$out"
    logged "$out.log" "$CMAKE" -S "$here/consumer" -B "$out" -G "$GENERATOR" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= \
        -DCMAKE_PREFIX_PATH="$WORK/stage/usr"
    expect_staged_package "$out"
    logged "$out-build.log" "$CMAKE" --build "$out" -j2
    expect_no_record_copies "$out/consumer"
    # The build tree's run path names the staged library folder.
    result=$("$out/consumer") || fail "consumer built through find_package"
    expect_installed_library "$result"
    ;;

pkgconfig-consumer)
    compilers "$family"
    use_staged_pc
    cflags=$("$PKG_CONFIG" --cflags drov_def) || fail "pkg-config --cflags drov_def"
    libs=$("$PKG_CONFIG" --libs drov_def)
    libdir=$("$PKG_CONFIG" --variable=libdir drov_def)
    "$PKG_CONFIG" --print-requires-private drov_def | grep -q '^libxml-2\.0' ||
        fail "drov_def.pc does not name libxml-2.0 among its private requirements"
    echo "pkg-config: $cflags $libs"
    out=$WORK/consumer-pc-$family
    rm -rf "$out" && mkdir -p "$out"
    # shellcheck disable=SC2086 # the flags are lists of words
    {
        logged "$out/record.log" "$cc" -c "$here/consumer/record.c" $cflags -o "$out/record.o"
        logged "$out/consumer.log" "$cxx" -std=c++20 "$here/consumer/consumer.cpp" "$out/record.o" \
            $cflags $libs -Wl,-rpath,"$libdir" -o "$out/consumer"
        # Before C++20 the C++ header stops at once with one line that says
        # what to add, instead of hundreds of errors.
        echo '#include <drov_def/drov_def.hpp>' >"$out/old.cpp"
        if "$cxx" -std=c++17 -c "$out/old.cpp" $cflags -o "$out/old.o" 2>"$out/old.log"; then
            fail "drov_def.hpp compiled as C++17"
        fi
        [ "$(grep -c ': error' "$out/old.log")" -eq 1 ] && grep -q -- '-std=c++20' "$out/old.log" ||
            fail "drov_def.hpp before C++20: not one error naming -std=c++20: $(cat "$out/old.log")"
    }
    expect_no_record_copies "$out/consumer"
    result=$("$out/consumer") || fail "consumer built through pkg-config"
    expect_installed_library "$result"
    ;;

examples-cmake)
    # The examples' own CMake project, as a user builds it against an install;
    # its tests compare each run with its golden output.
    compilers "$family"
    out=$WORK/examples-cmake-$family
    rm -rf "$out"
    logged "$out.log" "$CMAKE" -S "$SRC/examples" -B "$out" -G "$GENERATOR" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= \
        -DCMAKE_PREFIX_PATH="$WORK/stage/usr"
    expect_staged_package "$out"
    logged "$out-build.log" "$CMAKE" --build "$out" -j2
    for example in roundtrip roundtrip_c exchange; do
        expect_no_record_copies "$out/$example"
    done
    logged "$out-test.log" "${CTEST:?}" --test-dir "$out" --output-on-failure
    grep -E '^ *[0-9]+/[0-9]+ Test|tests passed' "$out-test.log"
    ;;

examples-pkgconfig)
    compilers "$family"
    use_staged_pc
    flags=$("$PKG_CONFIG" --cflags --libs drov_def) || fail "pkg-config --cflags --libs drov_def"
    libdir=$("$PKG_CONFIG" --variable=libdir drov_def)
    out=$WORK/examples-pc-$family
    rm -rf "$out" && mkdir -p "$out"
    # shellcheck disable=SC2086 # the flags are lists of words
    {
        logged "$out/roundtrip.log" "$cxx" -std=c++20 "$SRC/examples/roundtrip.cpp" $flags \
            -Wl,-rpath,"$libdir" -o "$out/roundtrip"
        logged "$out/roundtrip_c.log" "$cc" "$SRC/examples/roundtrip.c" $flags \
            -Wl,-rpath,"$libdir" -o "$out/roundtrip_c"
        logged "$out/exchange.log" "$cc" "$SRC/examples/exchange.c" $flags \
            -Wl,-rpath,"$libdir" -o "$out/exchange"
    }
    run_example roundtrip "$out/roundtrip" roundtrip.out
    run_example roundtrip_c "$out/roundtrip_c" roundtrip.out
    run_example exchange "$out/exchange" exchange.out
    run_example exchange_old_receiver "$out/exchange" exchange-old-receiver.out --old-receiver
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

python-import)
    [ -n "${PYTHON:-}" ] && [ -n "${PYTHON_PACKAGE_DIR:-}" ] || { echo "no Python package built; skipped"; exit 77; }
    pkg=$WORK/stage/usr/$PYTHON_PACKAGE_DIR
    for f in __init__.py __init__.pyi py.typed _schema.py; do
        [ -f "$pkg/drov_def/$f" ] || fail "drov_def/$f is not installed under $pkg"
    done
    # -S: no site packages, only the standard library and PYTHONPATH.
    result=$(cd "$WORK" && PYTHONPATH=$pkg "$PYTHON" -S -c '
import drov_def as dd
rsp = dd.VmActRsp(vm_name="web01", rc=dd.VmRspRc.OK, vm_uid=77)
rsp.vm_if_rsp.vm_if_info.add(if_handle=0x1A2B).vm_nic_info.mtu = 1500
assert dd.VmActRsp.decode(rsp.encode()) == rsp
print("package in:", dd.__file__)
print("record in:", next(l.split()[-1] for l in open("/proc/self/maps") if "libdrov_def.so" in l))
') || fail "import drov_def from the stage"
    echo "$result"
    case $(sed -n 's/^package in: //p' <<<"$result") in
    "$pkg/drov_def/"*) ;;
    *) fail "imported another drov_def than the staged one" ;;
    esac
    expect_installed_library "$result"
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
    export PKG_CONFIG_PATH=$root/usr/$libdir/pkgconfig
    flags=$("$PKG_CONFIG" --cflags --libs drov_def)
    echo "pkg-config: $flags"
    # drov_def's own folders come first, libxml2's may follow.
    seen_i="" seen_l=""
    for word in $flags; do
        case $word in
        -I*) [ -n "$seen_i" ] || seen_i=$(realpath -m "${word#-I}") ;;
        -L*) [ -n "$seen_l" ] || seen_l=$(realpath -m "${word#-L}") ;;
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
