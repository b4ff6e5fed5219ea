#!/usr/bin/env bash
# The mapped trace writer against today's runtimes, on two workloads traced
# through bench/interpreter_heap.xml's functions (realloc, memset, free):
#   bench/interpreter_heap.c OBJECTS (single thread), and
#   bench/mapped/threads_heap.c ITERATIONS THREADS (8 threads by default).
# Builds each workload
#   untraced (a kel.h whose kel_start does nothing),
#   with the runtime kelgen writes from a copy of the template: default
#   (per-field writes), buffered_records with force_flush, buffered_records
#   without it (multithreaded="true" for the threaded workload),
#   with the mapped writer (ih_mapped.c + kel_mapped_writer.c), and with its
#   sliding-window variant (single thread only: it is not safe for threads),
# checks that the mapped writer's trace of the single-threaded run equals the
# default runtime's, byte for byte once each handle is replaced by its rank of
# first appearance (the heap lies elsewhere in two different binaries), and
# that keltrace finds nothing in its trace of the threaded workload, runs
# the untraced interpreter workload under valgrind and heaptrack when they are
# installed, and prints the median wall time of N runs, ns per traced call and
# the ratios the goals are set on.
#
#   bash bench/mapped/run.sh [OBJECTS [ITERATIONS [THREADS]]]   (default 1000000 200000 8)
#   KEL_BENCH_RUNS=N   timed runs of each row, the median counts (default 5)
#   KEL_BENCH_DIR=DIR  where the programs run (default: a new folder in /dev/shm
#                      when there is one, else /tmp)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$root/build-bench
runs=${KEL_BENCH_RUNS:-5}
objects=${1:-1000000}
iterations=${2:-200000}
threads=${3:-8}

echo "building kelgen (RelWithDebInfo) ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kelgen keltrace >/dev/null
kelgen=$build/generator/kelgen
keltrace=$build/analyzer/keltrace

base=${KEL_BENCH_DIR:-}
[ -n "$base" ] || { [ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm; } || base=/tmp
mkdir -p "$base"
work=$(mktemp -d "$base/kel_mapped_bench_XXXXXX")
[ -n "${KEL_BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
cd "$work"
template=$root/bench/interpreter_heap.xml


# generated NAME MULTITHREADED BUFFERED FLUSH: kel.h and kel.c in NAME/
generated() {
    mkdir "$1"
    sed -e "s/multithreaded=\"false\"/multithreaded=\"$2\"/" \
        -e "s/ force_flush=\"false\"/\n    force_flush=\"$4\" buffered_records=\"$3\"/" "$template" >"$1/t.xml"
    (cd "$1" && "$kelgen" t.xml kel.h kel.c >/dev/null)
}
cflags=(-O2 -Wall -Wextra)
mkdir untraced
cat >untraced/kel.h <<'EOF'
#include <stdlib.h>
#include <string.h>
static inline void kel_start(const char *appname) { (void)appname; }
EOF
for mt in false true; do
    generated "default_$mt" "$mt" false false
    generated "flush_$mt" "$mt" true true
    generated "buffered_$mt" "$mt" true false
done
# The trace's first lines as one C string, as kel_start writes them: the two
# fixed lines, then every non-empty line of the default runtime's template,
# its quotes escaped (the mapped build embeds the same template).
{
    printf '"KEL TRACING BEGIN\\n"\n"KEL PROTOCOL 01\\n"\n'
    grep -v '^$' default_false/t.xml | sed -e 's/"/\\"/g' -e 's/^/"/' -e 's/$/\\n"/'
} >head.inc
# The mapped writer needs only the header kelgen writes (the wrappers' names).
mapped=("$here/ih_mapped.c" "$here/kel_mapped_writer.c")
for w in interp threads; do
    if [ $w = interp ]; then src=$root/bench/interpreter_heap.c mt=false; else src=$here/threads_heap.c mt=true; fi
    gcc "${cflags[@]}" -Iuntraced -o "${w}_untraced" "$src" -lpthread
    for v in default flush buffered; do
        gcc "${cflags[@]}" -I"${v}_$mt" -o "${w}_$v" "$src" "${v}_$mt/kel.c" -lpthread
    done
    gcc "${cflags[@]}" -Idefault_false -I. -I"$here" -o "${w}_mapped" "$src" "${mapped[@]}" -lpthread
done
gcc "${cflags[@]}" -DKEL_MAP_WINDOW -DKEL_MAP_STEP='(1UL << 20)' -Idefault_false -I. -I"$here" \
    -o interp_window "$root/bench/interpreter_heap.c" "${mapped[@]}" -lpthread
# For the comparison: builds whose heap starts as the default runtime's does.
gcc "${cflags[@]}" -DKEL_SAME_HEAP -Idefault_false -I. -I"$here" \
    -o check_mapped "$root/bench/interpreter_heap.c" "${mapped[@]}" -lpthread
gcc "${cflags[@]}" -DKEL_SAME_HEAP -DKEL_MAP_WINDOW -DKEL_MAP_STEP='(1UL << 20)' -Idefault_false -I. -I"$here" \
    -o check_window "$root/bench/interpreter_heap.c" "${mapped[@]}" -lpthread
cp interp_default check_default

# The same trace, byte for byte, but for where the heap lies.
ranked() { awk -f "$here/rank_handles.awk" "$1"; }
check_objects=$((objects / 10))
for v in default mapped window; do
    mkdir "trace_$v"
    (cd "trace_$v" && "../check_$v" "$check_objects" 2>/dev/null)
done
for v in mapped window; do
    if ! cmp <(ranked trace_default/interpreter_trace.out) <(ranked "trace_$v/interpreter_trace.out"); then
        echo "bench: the $v writer's trace differs from the default runtime's" >&2
        exit 1
    fi
done
echo "the mapped writers' traces equal the default runtime's ($check_objects objects, handles ranked)"
# Eight threads at once: a trace keltrace reads through with no finding.
mkdir trace_threads
(cd trace_threads && ../threads_mapped 20000 "$threads" 2>/dev/null &&
    { "$keltrace" --file interpreter_trace.out >findings.txt 2>&1 || [ $? -eq 1 ]; }) ||
    { echo "bench: the threaded run with the mapped writer or its analysis failed" >&2; exit 1; }
if [ -s trace_threads/findings.txt ]; then
    echo "bench: keltrace reports on the mapped writer's threaded trace:" >&2
    head -5 trace_threads/findings.txt >&2
    exit 1
fi
echo "keltrace finds nothing in the mapped writer's trace of $threads threads"
rm -rf check_* trace_*

# timed CMD...: one run in a fresh folder; sets secs (wall clock) and cpu
# (user + system time of the program and its children)
timed() {
    local t0 t1
    rm -rf run && mkdir run
    t0=$(date +%s%N)
    (cd run && /usr/bin/time -f '%U %S' -o ../cpu.txt "$@" >/dev/null 2>../calls.txt)
    t1=$(date +%s%N)
    secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')
    cpu=$(tail -n 1 cpu.txt | awk '{ printf "%.4f", $1 + $2 }')
}
mid() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# median N CMD...: the median wall time and the median CPU time of N runs
median() {
    local n=$1 i all=() cpus=()
    shift
    for ((i = 0; i < n; ++i)); do timed "$@"; all+=("$secs"); cpus+=("$cpu"); done
    secs=$(printf '%s\n' "${all[@]}" | mid)
    cpu=$(printf '%s\n' "${cpus[@]}" | mid)
}
calls_of() { awk '$1 == "calls" { print $2 }' calls.txt; }

declare -A t c
rows_interp=(untraced default flush buffered mapped window)
rows_threads=(untraced default flush buffered mapped)
for v in "${rows_interp[@]}"; do median "$runs" "../interp_$v" "$objects"; t[interp_$v]=$secs; c[interp_$v]=$cpu; done
interp_calls=$(calls_of)
for v in "${rows_threads[@]}"; do median "$runs" "../threads_$v" "$iterations" "$threads"; t[threads_$v]=$secs; c[threads_$v]=$cpu; done
threads_calls=$(calls_of)
if command -v valgrind >/dev/null; then
    median "$runs" valgrind -q --leak-check=full "../interp_untraced" "$objects"; t[interp_valgrind]=$secs; c[interp_valgrind]=$cpu
    rows_interp+=(valgrind)
fi
if command -v heaptrack >/dev/null; then
    median "$runs" heaptrack -o "$work/run/ht" "../interp_untraced" "$objects"; t[interp_heaptrack]=$secs; c[interp_heaptrack]=$cpu
    rows_interp+=(heaptrack)
fi

declare -A label=(
    [untraced]="untraced"
    [default]="default runtime"
    [flush]="buffered_records, force_flush"
    [buffered]="buffered_records, no flush"
    [mapped]="mapped (reservation + ftruncate)"
    [window]="mapped, sliding 1 MiB window"
    [valgrind]="valgrind --leak-check=full"
    [heaptrack]="heaptrack"
)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
per() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.1f", s * 1e9 / n }'; }
echo
echo "== load average at the end: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores; median of $runs runs, wall clock"
echo "== interpreter_heap $objects objects, $interp_calls traced calls, one thread"
header() { printf '%-36s %9s %9s %10s %9s %10s\n' "" "wall s" "ns/call" "x untraced" "cpu s" "x untraced"; }
line() {  # line WORKLOAD VARIANT CALLS
    printf '%-36s %9s %9s %10s %9s %10s\n' "${label[$2]}" "${t[$1_$2]}" "$(per "${t[$1_$2]}" "$3")" \
        "$(ratio "${t[$1_$2]}" "${t[$1_untraced]}")" "${c[$1_$2]}" "$(ratio "${c[$1_$2]}" "${c[$1_untraced]}")"
}
header
for v in "${rows_interp[@]}"; do line interp "$v" "$interp_calls"; done
echo "wall: mapped / untraced $(ratio "${t[interp_mapped]}" "${t[interp_untraced]}") (goal: at most 2.5)," \
    "mapped / buffered, no flush $(ratio "${t[interp_mapped]}" "${t[interp_buffered]}") (goal: at most 1.2)"
echo "cpu:  mapped / untraced $(ratio "${c[interp_mapped]}" "${c[interp_untraced]}")," \
    "mapped / buffered, no flush $(ratio "${c[interp_mapped]}" "${c[interp_buffered]}")"
echo
echo "== threads_heap $iterations iterations x $threads threads, $threads_calls traced calls"
header
for v in "${rows_threads[@]}"; do line threads "$v" "$threads_calls"; done
echo "mapped / buffered with force_flush, per call: wall $(ratio "${t[threads_mapped]}" "${t[threads_flush]}")," \
    "cpu $(ratio "${c[threads_mapped]}" "${c[threads_flush]}") (goal: at most 1)"
