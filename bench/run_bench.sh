#!/usr/bin/env bash
# keltrace at scale. Builds keltrace and kelgen, builds bench/workload.c
# twice (with the generated library, and plain for glibc's mtrace), and for
# each iteration count times on the same workload:
#   keltrace --file on the trace;
#   keltrace --group --file: the same analysis, findings counted and grouped
#   by site instead of printed one by one;
#   floor: reading every line of the trace through CFileLineFetcher, nothing else;
#   mtrace: glibc's mtrace script on the MALLOC_TRACE log of the same run.
# Prints per-record cost, MB/s, peak RSS and the ratios the goals are set on.
#
#   bash bench/run_bench.sh [ITERATIONS...]      (default: 1000000 10000000)
#   KEL_BENCH_RUNS=N   timed runs of keltrace and floor, the best counts (default 5)
#
# Traces go to a temporary folder that is removed at the end (10M iterations
# write about 600 MB at a time).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
runs=${KEL_BENCH_RUNS:-5}
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000000 10000000)

debug_lib=$(ls /usr/lib/*/libc_malloc_debug.so.0 2>/dev/null | head -1 || true)
command -v mtrace >/dev/null || { echo "bench: the mtrace script is missing (package libc-dev-bin)" >&2; exit 1; }
[ -n "$debug_lib" ] || { echo "bench: libc_malloc_debug.so.0 is missing" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (package time)" >&2; exit 1; }

echo "building (RelWithDebInfo, as scripts/build.sh) ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target keltrace kelgen >/dev/null
keltrace=$build/analyzer/keltrace
kelgen=$build/generator/kelgen

work=$(mktemp -d /tmp/kel_bench_XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$root/bench/workload.c" "$root/bench/workload.xml" .
"$kelgen" workload.xml kel.h kel.c >/dev/null
gcc -O2 -Wall -Wextra -DKEL_TRACED -I. -o workload_kel workload.c kel.c
gcc -O2 -Wall -Wextra -o workload_plain workload.c
g++ -O2 -g -DNDEBUG -std=c++17 -I"$root/lineinput" -o floor "$root/bench/floor.cpp" "$root/lineinput/ccloader.cpp"

# timed CMD...: runs CMD (stdout to cmd.out) and sets secs and rss_mb
timed() {
    local t0 t1
    t0=$(date +%s%N)
    status=0
    /usr/bin/time -f %M -o rss.txt "$@" >cmd.out || status=$?
    t1=$(date +%s%N)
    secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    rss_mb=$(tail -n 1 rss.txt | awk '{ printf "%.1f", $1 / 1024 }')
}

# best N CMD...: the fastest of N runs
best() {
    local n=$1 i bs="" br=""
    shift
    for ((i = 0; i < n; ++i)); do
        timed "$@"
        if [ -z "$bs" ] || awk -v a="$secs" -v b="$bs" 'BEGIN { exit !(a < b) }'; then bs=$secs; br=$rss_mb; fi
    done
    secs=$bs
    rss_mb=$br
}

per() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.1f", s * 1e9 / n }'; }
mbps() { awk -v s="$1" -v b="$2" 'BEGIN { printf "%.0f", b / 1048576 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

declare -A ns_per_record
for n in "${counts[@]}"; do
    echo
    echo "== $n iterations"
    rm -f workload_trace.out mtrace.out
    ./workload_kel "$n" 2>calls.txt
    # Let the trace reach the disk first, so that write-back does not run
    # beside the timed reads.
    sync
    read -r _ calls _ leaked _ unused <calls.txt
    bytes=$(stat -c %s workload_trace.out)
    lines=$(wc -l <workload_trace.out)
    records=$calls
    printf 'trace: %d records, %d lines, %.1f MB; the workload leaked %d blocks and freed %d unused\n' \
        "$records" "$lines" "$(awk -v b="$bytes" 'BEGIN { print b / 1048576 }')" "$leaked" "$unused"

    best "$runs" "$keltrace" --file workload_trace.out
    k_secs=$secs
    k_rss=$rss_mb
    # The analysis must find what the workload did: its leaks, and the blocks
    # it freed at the end without using them; nothing else.
    found=$(grep -c '^Error: resource leak; handle 0x' cmd.out || true)
    never=$(grep -c '^Warning: deallocation of resource 0x.* which never operated\.$' cmd.out || true)
    total=$(wc -l <cmd.out)
    [ "$found" = "$leaked" ] && [ "$never" = "$unused" ] && [ "$total" = $((leaked + unused)) ] ||
        echo "bench: keltrace reported $found leaks, $never unused blocks, $total lines;" \
            "expected $leaked, $unused, $((leaked + unused))" >&2

    best "$runs" "$keltrace" --group --file workload_trace.out
    g_secs=$secs
    g_rss=$rss_mb
    # The same findings, grouped: the summary counts every one of them.
    summary=$(tail -n 1 cmd.out)
    want="Summary: $leaked error"
    case "$summary" in
    "$want"*"leak"*", $unused warning"*", 0 suppressed") ;;
    *) echo "bench: keltrace --group summary '$summary' does not count $leaked leaks and $unused warnings" >&2 ;;
    esac

    best "$runs" ./floor workload_trace.out
    f_secs=$secs
    f_rss=$rss_mb
    rm -f workload_trace.out

    MALLOC_TRACE=$work/mtrace.out LD_PRELOAD=$debug_lib ./workload_plain "$n" 2>/dev/null
    m_bytes=$(stat -c %s mtrace.out)
    m_lines=$(wc -l <mtrace.out)
    timed sh -c 'mtrace ./workload_plain mtrace.out || true'
    m_secs=$secs
    m_rss=$rss_mb
    rm -f mtrace.out

    ns_per_record[$n]=$(per "$k_secs" "$records")
    printf '%-9s %9s %12s %8s %13s\n' "" "seconds" "ns/record" "MB/s" "peak RSS MB"
    printf '%-9s %9s %12s %8s %13s\n' keltrace "$k_secs" "${ns_per_record[$n]}" "$(mbps "$k_secs" "$bytes")" "$k_rss"
    printf '%-9s %9s %12s %8s %13s\n' --group "$g_secs" "$(per "$g_secs" "$records")" "$(mbps "$g_secs" "$bytes")" "$g_rss"
    printf '%-9s %9s %12s %8s %13s\n' floor "$f_secs" "$(per "$f_secs" "$records")" "$(mbps "$f_secs" "$bytes")" "$f_rss"
    printf '%-9s %9s %12s %8s %13s   (its own log: %d lines, %.1f MB)\n' mtrace "$m_secs" \
        "$(per "$m_secs" "$records")" "$(mbps "$m_secs" "$m_bytes")" "$m_rss" "$m_lines" \
        "$(awk -v b="$m_bytes" 'BEGIN { print b / 1048576 }')"
    echo "keltrace / floor: $(ratio "$k_secs" "$f_secs")   --group / keltrace: $(ratio "$g_secs" "$k_secs")   mtrace / keltrace: $(ratio "$m_secs" "$k_secs")"
done

if [ ${#counts[@]} -ge 2 ]; then
    first=${counts[0]}
    last=${counts[${#counts[@]} - 1]}
    echo
    echo "per-record cost, $last / $first iterations: $(ratio "${ns_per_record[$last]}" "${ns_per_record[$first]}")"
fi
