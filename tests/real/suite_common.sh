# Shared by trace_cmake_suite.sh and trace_make_suite.sh (sourced, not run):
# finding KEL, collecting a suite's traces, running keltrace over them,
# summarising valgrind's logs and printing the comparison table.
#
# A suite's processes each write their own trace. The trace folder is passed
# in KEL_TRACE_DIR; a KEL whose runtime does not read it writes each trace into
# the working folder of its process, so traces are also collected from the
# folders the tests run in (the copy of the project and its build folders).

kel_die() { echo "$(basename "$0"): $*" >&2; exit 1; }

# KEL_PREFIX, or the prefix of the kelgen found on the PATH.
kel_find_prefix() {
    if [ -z "${KEL_PREFIX:-}" ]; then
        local kelgen
        kelgen=$(command -v kelgen) || kel_die "no kelgen on the PATH; set KEL_PREFIX to KEL's install prefix"
        KEL_PREFIX=$(cd "$(dirname "$kelgen")/.." && pwd)
    fi
    KEL_PREFIX=$(cd "$KEL_PREFIX" && pwd)
    [ -x "$KEL_PREFIX/bin/kelgen" ] && [ -x "$KEL_PREFIX/bin/keltrace" ] ||
        kel_die "$KEL_PREFIX has no bin/kelgen and bin/keltrace"
    KELGEN=$KEL_PREFIX/bin/kelgen
    KELTRACE=$KEL_PREFIX/bin/keltrace
    KEL_TEMPLATES_DIR=$KEL_PREFIX/share/kel/templates
}

# The templates named on the command line, as absolute paths: a bare name is
# one of the ready-made templates. Default: the heap template.
kel_resolve_templates() {
    TEMPLATES=()
    [ $# -gt 0 ] || set -- libc-heap.xml
    local t
    for t in "$@"; do
        if [ "${t#*/}" = "$t" ] && [ ! -e "$t" ]; then t=$KEL_TEMPLATES_DIR/$t; fi
        [ -f "$t" ] || kel_die "no template $t"
        TEMPLATES+=("$(cd "$(dirname "$t")" && pwd)/$(basename "$t")")
    done
}

kel_now() { date +%s.%N; }
kel_elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

# Copies a source tree without its version control folder.
kel_copy_tree() {
    rm -rf "$2"
    mkdir -p "$2"
    tar -C "$1" --exclude=.git -cf - . | tar -C "$2" -xf -
}

# Moves every trace written after the stamp file under the folders given into
# the trace folder. A trace is a file whose first line is KEL's.
kel_collect_traces() {
    local stamp=$1 into=$2 f
    shift 2
    find "$@" -type f -newer "$stamp" -not -path "$into/*" 2>/dev/null | while read -r f; do
        if [ "$(head -c 17 "$f" 2>/dev/null | tr -d '\000')" = "KEL TRACING BEGIN" ]; then
            mv "$f" "$into/$(basename "$f" .trace)-$(echo "$f" | md5sum | cut -c1-8).trace"
        fi
    done
}

# The ctest summary line's figures: "PASSED TOTAL".
kel_ctest_counts() {
    sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$1" |
        tail -1 | awk '{ print $2 - $1, $2 }'
}

# keltrace over every trace in the folder $1, in the scratch folder $2 (the
# analysis writes template.tmp into its working folder). Writes
# $2/group.txt (one report, grouped), $2/findings.txt (every finding, each
# trace's under a "== trace" line) and $2/traces-with-findings, and sets
# KELTRACE_SECONDS. A keltrace that takes many traces in one run gives the
# grouped report itself; with one that takes one --file, each trace is
# analysed on its own and the groups are added up here, with the number of
# traces each group occurred in.
kel_analyse_traces() {
    local traces=$1 work=$2 t start status
    mkdir -p "$work"
    rm -f "$work"/group.txt "$work"/findings.txt "$work"/per-trace-group.txt
    local list=("$traces"/*.trace)
    [ -e "${list[0]}" ] || { echo "(no traces)" >"$work/group.txt"; : >"$work/findings.txt"; KELTRACE_SECONDS=0; return; }
    start=$(kel_now)
    status=0
    (cd "$work" && "$KELTRACE" --group --file "${list[@]}" >group.txt 2>group.err) || status=$?
    if [ "$status" -eq 2 ] && grep -q 'unexpected argument' "$work/group.err"; then
        KELTRACE_MANY=no
        for t in "${list[@]}"; do
            echo "== $(basename "$t")" >>"$work/per-trace-group.txt"
            (cd "$work" && "$KELTRACE" --group --file "$t" >>per-trace-group.txt 2>>group.err) || true
        done
        KELTRACE_SECONDS=$(kel_elapsed "$start" "$(kel_now)")
        awk '
            /^== / { trace = $2; next }
            /^[0-9]+ x / {
                n = $1; text = $0; sub(/^[0-9]+ x /, "", text)
                bytes = 0
                if (match(text, /, [0-9]+ bytes$/)) { bytes = substr(text, RSTART + 2) + 0; text = substr(text, 1, RSTART - 1) }
                if (!(text in count)) order[++groups] = text
                count[text] += n; sum[text] += bytes
                if (!((text, trace) in seen)) { seen[text, trace] = 1; traces[text]++; first[text] = first[text] ? first[text] : trace }
            }
            END {
                for (i = 1; i <= groups; i++) for (j = i + 1; j <= groups; j++)
                    if (count[order[j]] > count[order[i]]) { x = order[i]; order[i] = order[j]; order[j] = x }
                for (i = 1; i <= groups; i++) {
                    g = order[i]
                    if (g ~ /^leak /) { leaks += count[g]; leaked += sum[g] }
                    if (g ~ /\(error\)/) errors += count[g]; else warnings += count[g]
                    printf "%d x %s%s  [%d trace%s, e.g. %s]\n", count[g], g, sum[g] ? ", " sum[g] " bytes" : "", traces[g], traces[g] == 1 ? "" : "s", first[g]
                }
                printf "Summary: %d errors (%d leaks, %d bytes leaked), %d warnings (added up over the traces)\n", errors, leaks, leaked, warnings
            }' "$work/per-trace-group.txt" >"$work/group.txt"
        for t in "${list[@]}"; do
            echo "== $(basename "$t")" >>"$work/findings.txt"
            (cd "$work" && "$KELTRACE" --file "$t" >>findings.txt 2>&1) || true
        done
    else
        KELTRACE_MANY=yes
        KELTRACE_SECONDS=$(kel_elapsed "$start" "$(kel_now)")
        (cd "$work" && "$KELTRACE" --file "${list[@]}" >findings.txt 2>&1) || true
    fi
}

# valgrind's logs of the project's own programs (their command under $2):
# one line per process with errors, lost bytes or descriptors left open.
# Sets VG_PROCESSES, VG_ERRORS, VG_DEFINITELY, VG_INDIRECTLY, VG_POSSIBLY,
# VG_INUSE (bytes still allocated at exit, reachable or not: what KEL calls
# leaks), VG_FDS (descriptors a process opened and left open at exit).
kel_summarise_valgrind() {
    local logs=$1 under=$2
    awk -v under="$under" '
        FNR == 1 { ours = 0 }
        /== Command: / { cmd = $0; sub(/.*== Command: /, "", cmd); ours = index(cmd, under) == 1; if (ours) processes++ }
        !ours { next }
        /ERROR SUMMARY:/ { e = $0; sub(/.*ERROR SUMMARY: /, "", e); e += 0; errors += e; if (e) bad[FILENAME] = bad[FILENAME] " errors=" e }
        /definitely lost:/ { v = $0; sub(/.*definitely lost: /, "", v); gsub(/,/, "", v); v += 0; dl += v; if (v) bad[FILENAME] = bad[FILENAME] " definitely=" v }
        /indirectly lost:/ { v = $0; sub(/.*indirectly lost: /, "", v); gsub(/,/, "", v); v += 0; il += v; if (v) bad[FILENAME] = bad[FILENAME] " indirectly=" v }
        /possibly lost:/ { v = $0; sub(/.*possibly lost: /, "", v); gsub(/,/, "", v); v += 0; pl += v; if (v) bad[FILENAME] = bad[FILENAME] " possibly=" v }
        /in use at exit:/ { v = $0; sub(/.*in use at exit: /, "", v); gsub(/,/, "", v); v += 0; inuse += v; if (v) bad[FILENAME] = bad[FILENAME] " in-use=" v }
        # A descriptor the process opened itself (not inherited), beyond 0-2.
        /Open file descriptor [0-9]+:/ { v = $0; sub(/.*Open file descriptor /, "", v); pending = (v + 0 > 2); next }
        pending { if ($0 !~ /inherited from parent/) { fds++; open_fds[FILENAME]++ } pending = 0 }
        /== Command: / && ours { command[FILENAME] = cmd }
        END {
            for (f in open_fds) bad[f] = bad[f] " fds=" open_fds[f]
            for (f in bad) printf "valgrind: %s:%s (%s)\n", f, bad[f], command[f] > "/dev/stderr"
            printf "VG_PROCESSES=%d VG_ERRORS=%d VG_DEFINITELY=%d VG_INDIRECTLY=%d VG_POSSIBLY=%d VG_INUSE=%d VG_FDS=%d\n", processes, errors, dl, il, pl, inuse, fds
        }' "$logs"/*.log 2>"$logs/../valgrind-processes.txt" >"$logs/../valgrind-summary.sh"
    . "$logs/../valgrind-summary.sh"
}

kel_size() { du -sh "$1" 2>/dev/null | cut -f1; }

# The valgrind row of the table: its tests passed and time, then what
# kel_summarise_valgrind found.
kel_valgrind_row() {  # passed seconds
    echo "| valgrind (untraced build) | $1 | $2 | $VG_PROCESSES processes of the project: $VG_ERRORS errors, $VG_INUSE bytes in use at exit ($VG_DEFINITELY definitely, $VG_INDIRECTLY indirectly, $VG_POSSIBLY possibly lost), $VG_FDS descriptors left open |"
}

# The comparison table, written to OUT/summary.md and printed.
kel_write_summary() {  # time-title untraced-passed untraced-seconds traced-passed traced-seconds valgrind-row build-untraced build-traced
    {
        echo "KEL: $("$KELTRACE" --version 2>&1 | head -1); templates: $(for t in "${TEMPLATES[@]}"; do basename "$t"; done | tr '\n' ' ')"
        echo
        echo "| Run | Tests passed | $1 | Findings |"
        echo "|---|---|---|---|"
        echo "| untraced | $2 | $3 | |"
        echo "| traced | $4 | $5 | ${summary_line:-see keltrace/group.txt} |"
        [ -z "$6" ] || echo "$6"
        echo
        echo "Traces: $trace_count files, $trace_size; keltrace: $KELTRACE_SECONDS s ($([ "${KELTRACE_MANY:-yes}" = yes ] && echo "one run over all traces" || echo "one run per trace, groups added up"))."
        echo "Build: untraced $7 s, traced $8 s."
        echo
        echo "Findings by group:"
        echo
        echo '```'
        # keltrace names each trace it reads; the groups are what the table is about.
        grep -v '^=== trace [0-9]* of [0-9]*: ' "$out/keltrace/group.txt" || true
        echo '```'
    } >"$out/summary.md"
    echo
    cat "$out/summary.md"
}
