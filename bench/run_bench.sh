#!/usr/bin/env bash
# keltrace at scale, on two workloads built with the library kelgen writes:
#   bench/workload.c: about 1,000 live heap blocks churned by malloc, memset
#   and free (ITERATIONS traced calls); also traced by glibc's mtrace for
#   comparison;
#   bench/interpreter_heap.c: an interpreter's allocator, every block from
#   realloc, a live set that climbs to OBJECTS blocks and is released at the
#   end, most blocks released without a use (OBJECTS distinct handles).
# For each trace it times, best of N runs each, interleaved:
#   keltrace --file (findings to a file);
#   keltrace --group --file: the same analysis, findings counted and grouped;
#   keltrace --html page.html --file, and --group --html: the same two with
#   the HTML report, whose chart samples the live resources at every record
#   (the page's size is printed too);
#   floor: reading every line through std::getline from an ifstream, nothing
#   else, the fixed yardstick;
#   on interpreter_heap.c's traces, keltrace --file once more with
#   interior="true" switched on in the trace's embedded template (the same
#   bytes otherwise: the domain tag is written with 16 blanks of room, which
#   the attribute overwrites in place);
# and prints seconds (wall and CPU), ns per record, MB/s, peak RSS, bytes of
# peak RSS per distinct handle, and the ratios the goals are set on.
#
#   bash bench/run_bench.sh [ITERATIONS...]   (default: 1000000 10000000)
#   KEL_BENCH_OBJECTS="N..."  interpreter workload sizes (default: 1000000 5000000; "" for none)
#   KEL_BENCH_RUNS=N          timed runs of each program, the best counts (default 5)
#   KEL_BENCH_CALLGRIND=1     also count the instructions of --group and --group --html
#                             under callgrind, a figure the machine's load does not move
#                             (about 50 times as slow as the timed runs)
#
# Then it runs bench/run_runtime_bench.sh: the traced program's cost per call
# with the default runtime and with buffered_records (KEL_BENCH_RUNTIME=0
# skips it).
#
# Traces go to a temporary folder that is removed at the end (10M iterations
# write about 600 MB at a time, 5M objects about 1 GB).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
runs=${KEL_BENCH_RUNS:-5}
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000000 10000000)
read -r -a objects <<<"${KEL_BENCH_OBJECTS-1000000 5000000}"

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
mkdir churn interp
cp "$root/bench/workload.c" "$root/bench/workload.xml" churn/
cp "$root/bench/interpreter_heap.c" "$root/bench/interpreter_heap.xml" interp/
(cd churn && "$kelgen" workload.xml kel.h kel.c >/dev/null &&
    gcc -O2 -Wall -Wextra -DKEL_TRACED -I. -o workload_kel workload.c kel.c &&
    gcc -O2 -Wall -Wextra -o workload_plain workload.c)
# The domain tag with room for ' interior="true"' (16 bytes) before its '>'.
sed -i 's/includesGlobal="true">/includesGlobal="true"                >/' interp/interpreter_heap.xml
(cd interp && "$kelgen" interpreter_heap.xml kel.h kel.c >/dev/null &&
    gcc -O2 -Wall -Wextra -I. -o interpreter_heap interpreter_heap.c kel.c)
g++ -O2 -g -DNDEBUG -std=c++17 -o floor "$root/bench/floor.cpp"
floor=$work/floor

# timed CMD...: runs CMD (stdout to cmd.out) and sets secs, cpu and rss_mb.
# The previous cmd.out is removed first, outside the timing: truncating the
# 800 MB of findings of a 5M-object run takes the kernel about 0.4 s, which is
# no part of the next run's work.
timed() {
    local t0 t1
    rm -f cmd.out
    t0=$(date +%s%N)
    status=0
    /usr/bin/time -f '%U %S %M' -o rss.txt "$@" >cmd.out || status=$?
    t1=$(date +%s%N)
    secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    cpu=$(tail -n 1 rss.txt | awk '{ printf "%.2f", $1 + $2 }')
    rss_mb=$(tail -n 1 rss.txt | awk '{ printf "%.1f", $3 / 1024 }')
}

# best N NAME CMD...: runs CMD N times; NAME_secs, NAME_cpu and NAME_rss hold
# the best wall time, the best CPU time and the peak RSS of the fastest run.
# The programs of one trace are called in turn (see bestOf), so that a busy
# moment of the shared machine hits all of them alike.
declare -A best_secs best_cpu best_rss
run_once() {
    local name=$1
    shift
    timed "$@"
    if [ -z "${best_secs[$name]:-}" ] || awk -v a="$secs" -v b="${best_secs[$name]}" 'BEGIN { exit !(a < b) }'; then
        best_secs[$name]=$secs
        best_rss[$name]=$rss_mb
    fi
    if [ -z "${best_cpu[$name]:-}" ] || awk -v a="$cpu" -v b="${best_cpu[$name]}" 'BEGIN { exit !(a < b) }'; then
        best_cpu[$name]=$cpu
    fi
}

# interior TRACE OFFSET on|off: writes ' interior="true"' or 16 blanks into
# the room left in the trace's domain tag.
interior() {
    local text='                '
    [ "$3" = on ] && text=' interior="true"'
    printf '%s' "$text" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

per() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.1f", s * 1e9 / n }'; }
mbps() { awk -v s="$1" -v b="$2" 'BEGIN { printf "%.0f", b / 1048576 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# analyse TRACE RECORDS LEAKED UNUSED [ROOM]: times keltrace, keltrace
# --group and the floor on TRACE, and with ROOM (the offset of the room in its
# domain tag) keltrace with interior="true" too; checks the findings, prints
# the table.
analyse() {
    local trace=$1 records=$2 leaked=$3 unused=$4 room=${5:-} bytes lines distinct i names=(keltrace group html grouphtml floor)
    bytes=$(stat -c %s "$trace")
    lines=$(wc -l <"$trace")
    # Handle lines of allocations and reallocations: "OK " and 16 digits.
    distinct=$(grep -E '^OK [0-9A-F]{16}$' "$trace" | sort -u | wc -l)
    printf 'trace: %d records, %d lines, %.1f MB, %d distinct handles; %d blocks leaked, %d freed unused\n' \
        "$records" "$lines" "$(awk -v b="$bytes" 'BEGIN { print b / 1048576 }')" "$distinct" "$leaked" "$unused"
    best_secs=() best_cpu=() best_rss=()
    for ((i = 0; i < runs; ++i)); do
        run_once keltrace "$keltrace" --file "$trace"
        if [ "$i" = 0 ]; then
            # The analysis must find what the workload did: its leaks, and the
            # blocks it freed without using them; nothing else.
            found=$(grep -c '^Error: resource leak; handle 0x' cmd.out || true)
            never=$(grep -c '^Warning: deallocation of resource 0x.* which never operated\.$' cmd.out || true)
            total=$(wc -l <cmd.out)
            [ "$found" = "$leaked" ] && [ "$never" = "$unused" ] && [ "$total" = $((leaked + unused)) ] ||
                echo "bench: keltrace reported $found leaks, $never unused blocks, $total lines;" \
                    "expected $leaked, $unused, $((leaked + unused))" >&2
            cp cmd.out keltrace.out
        fi
        run_once group "$keltrace" --group --file "$trace"
        if [ "$i" = 0 ]; then
            # The same findings, grouped: the summary counts every one of them.
            summary=$(tail -n 1 cmd.out)
            case "$summary" in
            "Summary: $leaked error"*"leak"*", $unused warning"*", 0 suppressed") ;;
            *) echo "bench: keltrace --group summary '$summary' does not count $leaked leaks and $unused warnings" >&2 ;;
            esac
        fi
        run_once html "$keltrace" --html page.html --file "$trace"
        if [ "$i" = 0 ]; then
            # The page holds the run's records and findings.
            page_kb=$(awk -v b="$(stat -c %s page.html)" 'BEGIN { printf "%.0f", b / 1024 }')
            grep -q "\"records\":$records," page.html ||
                echo "bench: page.html does not count $records records" >&2
        fi
        run_once grouphtml "$keltrace" --group --html page.html --file "$trace"
        run_once floor "$floor" "$trace"
        if [ -n "$room" ]; then
            interior "$trace" "$room" on
            run_once interior "$keltrace" --file "$trace"
            interior "$trace" "$room" off
            # The attribute changes nothing here: the workload uses its
            # blocks by their own addresses.
            if [ "$i" = 0 ] && ! cmp -s cmd.out keltrace.out; then
                echo "bench: keltrace with interior=\"true\" reported other findings" >&2
            fi
        fi
    done
    k_ns=$(per "${best_secs[keltrace]}" "$records")
    k_rss=${best_rss[keltrace]}
    k_bph=$(awk -v r="$k_rss" -v d="$distinct" 'BEGIN { printf "%.0f", r * 1048576 / d }')
    [ -n "$room" ] && names+=(interior)
    printf '%-16s %9s %8s %12s %8s %13s %15s\n' "" "seconds" "CPU s" "ns/record" "MB/s" "peak RSS MB" "B/distinct"
    for name in "${names[@]}"; do
        case $name in
        group) label=--group ;;
        html) label=--html ;;
        grouphtml) label="--group --html" ;;
        *) label=$name ;;
        esac
        printf '%-16s %9s %8s %12s %8s %13s %15s\n' "$label" \
            "${best_secs[$name]}" "${best_cpu[$name]}" "$(per "${best_secs[$name]}" "$records")" \
            "$(mbps "${best_secs[$name]}" "$bytes")" "${best_rss[$name]}" \
            "$(awk -v r="${best_rss[$name]}" -v d="$distinct" 'BEGIN { printf "%.0f", r * 1048576 / d }')"
    done
    echo "keltrace / floor: $(ratio "${best_secs[keltrace]}" "${best_secs[floor]}") (CPU: $(ratio "${best_cpu[keltrace]}" "${best_cpu[floor]}"))   --group / keltrace: $(ratio "${best_secs[group]}" "${best_secs[keltrace]}")"
    echo "--html / keltrace: $(ratio "${best_secs[html]}" "${best_secs[keltrace]}") (CPU: $(ratio "${best_cpu[html]}" "${best_cpu[keltrace]}"))   --group --html / --group: $(ratio "${best_secs[grouphtml]}" "${best_secs[group]}") (CPU: $(ratio "${best_cpu[grouphtml]}" "${best_cpu[group]}"))   page: $page_kb KB"
    if [ "${KEL_BENCH_CALLGRIND:-0}" = 1 ]; then
        local plain html
        plain=$(instructions "$keltrace" --group --file "$trace")
        html=$(instructions "$keltrace" --group --html page.html --file "$trace")
        echo "instructions (callgrind): --group $plain, --group --html $html:" \
            "$(awk -v a="$html" -v b="$plain" 'BEGIN { printf "%+.2f %%, %.1f per record", (a - b) * 100 / b, (a - b) / '"$records"' }')"
    fi
    if [ -n "$room" ]; then
        echo "interior / keltrace: $(ratio "${best_secs[interior]}" "${best_secs[keltrace]}") (CPU: $(ratio "${best_cpu[interior]}" "${best_cpu[keltrace]}"); goal: at most 1.30)   peak RSS: +$(awk -v a="${best_rss[interior]}" -v b="${best_rss[keltrace]}" 'BEGIN { printf "%.1f", a - b }') MB"
    fi
    k_secs=${best_secs[keltrace]}
    k_distinct=$distinct
}

# instructions CMD...: the instructions CMD executes, counted by callgrind.
instructions() {
    # keltrace exits with 1 after an analysis, and valgrind with it.
    { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null || true; } |
        awk '/Collected :/ { print $NF }'
}

declare -A ns_per_record rss_of distinct_of
for n in "${counts[@]}"; do
    echo
    echo "== workload.c, $n iterations"
    (cd churn && rm -f workload_trace.out && ./workload_kel "$n" 2>../calls.txt)
    # Let the trace reach the disk first, so that write-back does not run
    # beside the timed reads.
    sync
    read -r _ calls _ leaked _ unused <calls.txt
    analyse churn/workload_trace.out "$calls" "$leaked" "$unused"
    ns_per_record[churn$n]=$k_ns
    k_churn=$k_secs
    rm -f churn/workload_trace.out

    (cd churn && MALLOC_TRACE=$work/mtrace.out LD_PRELOAD=$debug_lib ./workload_plain "$n" 2>/dev/null)
    m_bytes=$(stat -c %s mtrace.out)
    m_lines=$(wc -l <mtrace.out)
    timed sh -c 'cd churn && mtrace ./workload_plain ../mtrace.out || true'
    printf '%-16s %9s %8s %12s %8s %13s   (its own log: %d lines, %.1f MB)\n' mtrace "$secs" "$cpu" \
        "$(per "$secs" "$calls")" "$(mbps "$secs" "$m_bytes")" "$rss_mb" "$m_lines" \
        "$(awk -v b="$m_bytes" 'BEGIN { print b / 1048576 }')"
    echo "mtrace / keltrace: $(ratio "$secs" "$k_churn")"
    rm -f mtrace.out
done

for n in "${objects[@]}"; do
    echo
    echo "== interpreter_heap.c, $n objects"
    (cd interp && rm -f interpreter_trace.out && ./interpreter_heap "$n" 2>../calls.txt)
    sync
    read -r _ calls _ leaked _ unused <calls.txt
    room=$(grep -b -o -m 1 'includesGlobal="true" \{16\}>' interp/interpreter_trace.out | cut -d: -f1)
    [ -n "$room" ] || { echo "bench: no room for interior=\"true\" in the trace's template" >&2; exit 1; }
    analyse interp/interpreter_trace.out "$calls" "$leaked" "$unused" $((room + 21))
    ns_per_record[interp$n]=$k_ns
    rss_of[interp$n]=$k_rss
    distinct_of[interp$n]=$k_distinct
    rm -f interp/interpreter_trace.out
done

echo
if [ ${#counts[@]} -ge 2 ]; then
    first=${counts[0]}
    last=${counts[${#counts[@]} - 1]}
    echo "workload.c, per-record cost, $last / $first iterations: $(ratio "${ns_per_record[churn$last]}" "${ns_per_record[churn$first]}")"
fi
if [ ${#objects[@]} -ge 2 ]; then
    first=${objects[0]}
    last=${objects[${#objects[@]} - 1]}
    echo "interpreter_heap.c, per-record cost, $last / $first objects: $(ratio "${ns_per_record[interp$last]}" "${ns_per_record[interp$first]}")"
    echo "interpreter_heap.c, peak RSS $last / $first objects: $(ratio "${rss_of[interp$last]}" "${rss_of[interp$first]}")" \
        "against distinct handles $(ratio "${distinct_of[interp$last]}" "${distinct_of[interp$first]}")"
fi

if [ "${KEL_BENCH_RUNTIME:-1}" != 0 ]; then
    echo
    echo "== the traced program (bench/run_runtime_bench.sh)"
    bash "$root/bench/run_runtime_bench.sh"
fi
