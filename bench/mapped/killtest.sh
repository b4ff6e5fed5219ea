#!/usr/bin/env bash
# Builds killtest.c against the mapped writer and the wrappers of
# bench/interpreter_heap.xml, and runs it: SIGKILL at random moments, abort()
# and a segfault, with one thread and with four.
#
#   bash bench/mapped/killtest.sh [ROUNDS]   (default 200 per mode and thread count)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$root/build-bench
rounds=${1:-200}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kelgen >/dev/null
work=$(mktemp -d /tmp/kel_killtest_XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$root/bench/interpreter_heap.xml" t.xml
"$build/generator/kelgen" t.xml kel.h kel.c >/dev/null
{
    printf '"KEL TRACING BEGIN\\n"\n"KEL PROTOCOL 01\\n"\n'
    grep -v '^$' t.xml | sed -e 's/"/\\"/g' -e 's/^/"/' -e 's/$/\\n"/'
} >head.inc
gcc -O2 -g -Wall -Wextra -I. -I"$here" -o killtest "$here/killtest.c" "$here/ih_mapped.c" \
    "$here/kel_mapped_writer.c" -lpthread
ulimit -c 0 # no core files from the abort and segv rounds
status=0
seed=1
for threads in 1 4; do
    for mode in kill abort segv; do
        ./killtest "$mode" "$rounds" "$threads" "$seed" || status=1
        seed=$((seed + 1))
    done
done
exit $status
