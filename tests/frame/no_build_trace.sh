#!/bin/sh
# A reproducible build's library names neither the folders it was built in
# nor the user, host or process that built it.
#   no_build_trace.sh DROVDEF LIBRARY SOURCE_DIR BUILD_DIR
set -eu
tool=$1 lib=$2
shift 2
for dir in "$@" "$(realpath "$1")" "$(realpath "$2")"; do
    if grep -qaF "$dir" "$lib"; then
        echo "FAIL: $lib names $dir" >&2
        exit 1
    fi
done
info=$("$tool" build-info "$lib")
expected="built by: builder
on host: localhost
pid: 0
comment: reproducible build"
got=$(printf '%s\n' "$info" | sed -n '3,5p;7p')
if [ "$got" != "$expected" ]; then
    printf 'FAIL: the build record reads\n%s\n' "$info" >&2
    exit 1
fi
