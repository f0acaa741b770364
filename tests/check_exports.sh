#!/bin/sh
# Usage: check_exports.sh LIBRARY EXPECTED_LIST
# The shared object must define exactly the symbols of EXPECTED_LIST and
# need no library but libc.
set -eu
lib=$1
expected=$2
status=0

actual=$(nm -D --defined-only --format=posix "$lib" | awk '{print $1}' | sort)
wanted=$(sort "$expected")
if [ "$actual" != "$wanted" ]; then
    echo "exported symbols differ from $expected:"
    printf '%s\n' "$wanted" >/tmp/exports.wanted.$$
    printf '%s\n' "$actual" >/tmp/exports.actual.$$
    diff /tmp/exports.wanted.$$ /tmp/exports.actual.$$ || true
    rm -f /tmp/exports.wanted.$$ /tmp/exports.actual.$$
    status=1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if [ "$needed" != "libc.so.6" ]; then
    echo "NEEDED entries besides libc: $needed"
    status=1
fi

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "libviredovozu.so.1" ]; then
    echo "SONAME is '$soname', not libviredovozu.so.1"
    status=1
fi
[ $status -eq 0 ] && echo "exports, SONAME and NEEDED as expected"
exit $status
