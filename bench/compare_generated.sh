#!/usr/bin/env bash
# Checks that two kelgen builds write the same thing: for every template in the
# tree, and for each of a set of setting variants of it (record mode, compiler,
# trace target, flushing, threading, error log, start), both write kel.h and
# kel.c, --wrap-flags, and the --merge of the ready-made templates; the files,
# the messages on both streams and the exit statuses are compared with cmp.
# Prints one line per difference and a closing count; exits 1 on any.
#
#   bash bench/compare_generated.sh OLD_KELGEN NEW_KELGEN
set -uo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 OLD_KELGEN NEW_KELGEN" >&2
    exit 2
fi
old=$(realpath "$1")
new=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each variant is a list of attribute=value pairs set on the <template> element
# (added when the template lacks the attribute).
variants=(
    ""
    "buffered_records=true"
    "buffered_records=false"
    "buffered_records=true force_flush=false"
    "buffered_records=true force_flush=true trap_on_io_err=true"
    "buffered_records=false force_flush=true trap_on_io_err=true"
    "buffered_records=true remote_mode=true trace_target=127.0.0.1:5123"
    "buffered_records=false remote_mode=true trace_target=127.0.0.1:5123 trap_on_io_err=true"
    "buffered_records=true remote_mode=true trace_target=127.0.0.1:5123 compiler_type=win32 threading=win32 multithreaded=true"
    "compiler_type=win32 threading=win32 multithreaded=true buffered_records=false"
    "compiler_type=win32 buffered_records=true trace_per_process=true trace_target=t-%p.trace"
    "multithreaded=false buffered_records=true auto_start=true"
    "multithreaded=true threading=posix auto_start=false buffered_records=false"
    "errlogmode= fork_enabled=false gnu_source=false"
    "errlogmode=err.log fork_enabled=false buffered_records=true auto_start=true"
    "trace_per_process=true trace_target=run-%p-%p.trace buffered_records=true"
    "trace_per_process=true trace_target=run.trace buffered_records=false force_flush=false"
)

# Writes each template ($2...) with each variant's pairs applied, as
# $1/tN.xml in that order (templates outer, variants inner).
make_variants() {
    python3 - "$@" <<'EOF'
import re, sys
dst, sources = sys.argv[1], sys.argv[2:]
variants = open(dst + "/variants").read().split("\n")[:-1]
n = 0
for src in sources:
    text = open(src, encoding="utf-8").read()
    start = text.index("<template")
    end = text.index(">", start)
    for variant in variants:
        head = text[start:end]
        for pair in variant.split():
            name, value = pair.split("=", 1)
            pattern = re.compile(r'(\s)' + name + r'="[^"]*"')
            if pattern.search(head):
                head = pattern.sub(lambda m: m.group(1) + name + '="' + value + '"', head, count=1)
            else:
                head += ' ' + name + '="' + value + '"'
        n += 1
        open("%s/t%d.xml" % (dst, n), "w", encoding="utf-8").write(text[:start] + head + text[end:])
EOF
}

differences=0
runs=0

# Runs "$@" with each kelgen in its own folder under $work/$case and compares
# everything the two left there.
compare() {
    local case=$1
    shift
    for side in old new; do
        mkdir -p "$work/$case/$side"
        local kelgen=$old
        [ $side = new ] && kelgen=$new
        (cd "$work/$case/$side" && "$kelgen" "$@" >stdout 2>stderr; echo $? >status)
    done
    runs=$((runs + 1))
    local a b
    for a in "$work/$case/old"/*; do
        b="$work/$case/new/$(basename "$a")"
        if ! cmp -s "$a" "$b"; then
            echo "differs: $case: $(basename "$a") (kelgen $*)"
            differences=$((differences + 1))
        fi
    done
    for b in "$work/$case/new"/*; do
        [ -e "$work/$case/old/$(basename "$b")" ] || {
            echo "only new: $case: $(basename "$b")"
            differences=$((differences + 1))
        }
    done
}

mapfile -t templates < <(cd "$root" && git ls-files '*.xml' | grep -v '^tests/fuzz/')
printf '%s\n' "${variants[@]}" >"$work/variants"
make_variants "$work" "${templates[@]/#/$root/}"
n=0
generated=0
for template in "${templates[@]}"; do
    for variant in "${variants[@]}"; do
        n=$((n + 1))
        compare "g$n" "$work/t$n.xml" kel.h kel.c
        [ -e "$work/g$n/old/kel.c" ] && generated=$((generated + 1))
    done
    compare "w$n" --wrap-flags "$root/$template"
    compare "f$n" --wrap-flags "$root/$template" flags.txt
done
compare merge --merge merged.xml "$root/templates/libc-heap.xml" "$root/templates/posix-fd.xml" \
    "$root/templates/stdio.xml"
compare usage
compare version --version
compare missing "$work/no-such.xml" kel.h kel.c

echo "compare_generated: $runs runs ($generated generated kel.c), $differences differences"
[ $differences -eq 0 ]
