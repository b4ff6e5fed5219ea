#!/usr/bin/env bash
# The traced program's side: what one traced call costs in bench/workload.c.
# Builds the workload untraced, with the default runtime and with
# buffered_records (from bench/workload.xml, with and without force_flush),
# checks that both runtimes write the same trace, and times each build, plus
# the untraced workload under valgrind (memcheck, --leak-check=full) and under
# heaptrack, for reference. Prints ns per call (wall clock, best of N; the CPU
# time of that run beside it) and the ratios buffered / default.
#
#   bash bench/run_runtime_bench.sh [ITERATIONS [FLUSH_ITERATIONS]]   (default 1000000 200000)
#   KEL_BENCH_RUNS=N   timed runs of each row, the best counts (default 5)
#   KEL_BENCH_DIR=DIR  where the programs run and write their traces (default:
#                      a new folder in /dev/shm when there is one, so that the
#                      disk's write-back does not run beside the timed runs)
#
# force_flush writes to the file once per trace line (default runtime) or twice
# per record (buffered), so its rows run FLUSH_ITERATIONS iterations.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
runs=${KEL_BENCH_RUNS:-5}
iterations=${1:-1000000}
flush_iterations=${2:-200000}

for tool in valgrind heaptrack /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

echo "building kelgen (RelWithDebInfo, as scripts/build.sh) ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kelgen >/dev/null
kelgen=$build/generator/kelgen

if [ -n "${KEL_BENCH_DIR:-}" ]; then
    mkdir -p "$KEL_BENCH_DIR"
    work=$(mktemp -d "$KEL_BENCH_DIR/kel_runtime_bench_XXXXXX")
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
    work=$(mktemp -d /dev/shm/kel_runtime_bench_XXXXXX)
else
    work=$(mktemp -d /tmp/kel_runtime_bench_XXXXXX)
fi
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$root/bench/workload.c" .
grep -q 'buffered_records="true"' "$root/bench/workload.xml" ||
    { echo "bench: bench/workload.xml does not set buffered_records=\"true\"" >&2; exit 1; }

# variant NAME RUNTIME FLUSH: the workload built with the library generated
# from workload.xml, buffered_records and force_flush set as given.
variant() {
    mkdir "$1"
    sed -e "s/buffered_records=\"true\"/buffered_records=\"$2\"/" \
        -e "s/force_flush=\"false\"/force_flush=\"$3\"/" "$root/bench/workload.xml" >"$1/workload.xml"
    (cd "$1" && "$kelgen" workload.xml kel.h kel.c >/dev/null &&
        gcc -O2 -Wall -Wextra -DKEL_TRACED -I. -o "../workload_$1" ../workload.c kel.c)
}
variant default false false
variant buffered true false
variant default_flush false true
variant buffered_flush true true
gcc -O2 -Wall -Wextra -o workload_plain workload.c

# The same trace from both runtimes: handles (and sizes) masked, since the
# addresses move from run to run, and the template line that names the
# runtime left out.
masked() { sed -e '/buffered_records=/d' -e 's/[0-9A-F]\{16\}$/<hex16>/' "$1"; }
for pair in "default buffered $iterations" "default_flush buffered_flush 2000"; do
    read -r a b n <<<"$pair"
    "./workload_$a" "$n" 2>/dev/null && mv workload_trace.out "$a.trace"
    "./workload_$b" "$n" 2>/dev/null && mv workload_trace.out "$b.trace"
    if ! cmp -s <(masked "$a.trace") <(masked "$b.trace"); then
        echo "bench: workload_$a and workload_$b wrote different traces" >&2
        exit 1
    fi
    rm -f "$a.trace" "$b.trace"
done
echo "the default and the buffered runtime wrote the same trace (handles masked)"

# timed CMD...: runs CMD (standard error to calls.txt) and sets secs and cpu
timed() {
    local t0 t1
    rm -f workload_trace.out
    t0=$(date +%s%N)
    /usr/bin/time -f '%U %S' -o cpu.txt "$@" >/dev/null 2>calls.txt
    t1=$(date +%s%N)
    secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')
    cpu=$(tail -n 1 cpu.txt | awk '{ printf "%.4f", $1 + $2 }')
}

# best N CMD...: the fastest of N runs; its CPU time beside it
best() {
    local n=$1 i bs="" bc=""
    shift
    for ((i = 0; i < n; ++i)); do
        timed "$@"
        if [ -z "$bs" ] || awk -v a="$secs" -v b="$bs" 'BEGIN { exit !(a < b) }'; then bs=$secs; bc=$cpu; fi
    done
    secs=$bs
    cpu=$bc
}

# The workload reports its calls on standard error ("calls C leaked L unused U").
calls_of() { "$@" 2>&1 >/dev/null | awk '$1 == "calls" { print $2 }'; rm -f workload_trace.out; }
per() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.1f", s * 1e9 / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

calls=$(calls_of ./workload_plain "$iterations")
flush_calls=$(calls_of ./workload_plain "$flush_iterations")

declare -A ns cpu_ns
row() {  # row KEY CALLS CMD...
    local key=$1 n=$2
    shift 2
    best "$runs" "$@"
    ns[$key]=$(per "$secs" "$n")
    cpu_ns[$key]=$(per "$cpu" "$n")
}
row untraced "$calls" ./workload_plain "$iterations"
row default "$calls" ./workload_default "$iterations"
row buffered "$calls" ./workload_buffered "$iterations"
row default_flush "$flush_calls" ./workload_default_flush "$flush_iterations"
row buffered_flush "$flush_calls" ./workload_buffered_flush "$flush_iterations"
row valgrind "$calls" valgrind -q --leak-check=full ./workload_plain "$iterations"
row heaptrack "$calls" heaptrack -o "$work/heaptrack" ./workload_plain "$iterations"
rm -f "$work"/heaptrack*

echo
echo "== traced program: bench/workload.c, $calls calls ($iterations iterations; force_flush rows $flush_calls calls), best of $runs"
printf '%-34s %14s %14s\n' "" "ns/call (wall)" "ns/call (cpu)"
print_row() { printf '%-34s %14s %14s\n' "$1" "${ns[$2]}" "${cpu_ns[$2]}"; }
print_row "untraced" untraced
print_row "default runtime" default
print_row "buffered_records" buffered
print_row "default runtime, force_flush" default_flush
print_row "buffered_records, force_flush" buffered_flush
print_row "valgrind --leak-check=full" valgrind
print_row "heaptrack" heaptrack
echo "buffered / default: $(ratio "${ns[buffered]}" "${ns[default]}")" \
    "  with force_flush: $(ratio "${ns[buffered_flush]}" "${ns[default_flush]}")   (goal: at most 0.35 each)"
