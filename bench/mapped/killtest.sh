#!/usr/bin/env bash
# Builds killtest.c against the mapped writer and the wrappers of
# bench/interpreter_heap.xml, and runs it: SIGKILL at random moments, abort()
# and a segfault, with one thread and with four. Then forktest.c, built with
# per-process traces: parent and child each get a trace of their own calls.
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

# fork with per-process traces
gcc -O2 -Wall -Wextra -DKEL_PER_PROCESS -I. -I"$here" -o forktest "$here/forktest.c" "$here/ih_mapped.c" \
    "$here/kel_mapped_writer.c" -lpthread
mkdir fork && cd fork
read -r _ parent _ child < <(../forktest)
src=$here/forktest.c
at() { grep -n "$1" "$src" | head -1 | cut -d: -f1; }  # the line of a call
# count TRACE LINE: records of calls made at line LINE of forktest.c
count() { grep -c -x -F "$2" "$1" || true; }
fork_fail() { echo "forktest: $*" >&2; status=1; }
for pid in "$parent" "$child"; do
    f=interpreter_trace-$pid.out
    [ -f "$f" ] || { fork_fail "no trace $f"; continue; }
    cmp -s <(head -c "$(wc -c <../head.inc)" "$f" | head -2) <(printf 'KEL TRACING BEGIN\nKEL PROTOCOL 01\n') ||
        fork_fail "$f does not begin with the head"
    [ "$(tail -n 1 "$f")" = "KEL TRACING DONE" ] || fork_fail "$f does not end with KEL TRACING DONE"
done
pf=interpreter_trace-$parent.out cf=interpreter_trace-$child.out
[ "$(ls | wc -l)" -eq 2 ] || fork_fail "$(ls | wc -l) traces instead of 2"
# the call before the fork is the parent's only; the child's calls are in its own trace only
[ "$(count "$pf" "$(at 'realloc(NULL, 32)')")" -eq 1 ] || fork_fail "the parent's trace lacks its call before the fork"
[ "$(count "$cf" "$(at 'realloc(NULL, 32)')")" -eq 0 ] || fork_fail "the child's trace holds the parent's call before the fork"
[ "$(count "$cf" "$(at 'realloc(NULL, 48)')")" -eq 1 ] || fork_fail "the child's trace lacks its call"
[ "$(count "$pf" "$(at 'realloc(NULL, 48)')")" -eq 0 ] || fork_fail "the parent's trace holds the child's call"
[ "$(count "$pf" "$(at 'realloc(NULL, 64)')")" -eq 1 ] || fork_fail "the parent's trace lacks its call after the fork"
[ "$(grep -c -x realloc "$pf")" -eq 2 ] && [ "$(grep -c -x free "$pf")" -eq 2 ] ||
    fork_fail "the parent's trace has other records than its own six"
[ "$(grep -c -x realloc "$cf")" -eq 1 ] && [ "$(grep -c -x free "$cf")" -eq 2 ] ||
    fork_fail "the child's trace has other records than its own four"
[ $status -ne 0 ] || echo "forktest: parent and child wrote their own traces"
exit $status
