#!/usr/bin/env bash
# Runs two keltrace builds on the same traces and compares what they write,
# byte for byte: standard output, standard error, the exit status, and the
# JSON, SARIF and HTML files. For each trace it runs
#   --file T,  --group --file T,  --json F --file T,  --sarif F --file T,
#   --html F --file T,  --group --json F --sarif F --html F --file T,
# then once over all the traces together (--group --json --file T...), and
# --help, --version and no arguments.
#
#   bash bench/compare_outputs.sh OLD_KELTRACE NEW_KELTRACE TRACE...
#
# Each run works in a folder of its own (keltrace writes template.tmp into
# the working folder); the traces are named by absolute path so that both
# builds print the same names. Prints one line per run that differs and a
# count at the end; exits 1 when anything differs.
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: $0 OLD_KELTRACE NEW_KELTRACE TRACE..." >&2; exit 2; }
old=$(realpath "$1")
new=$(realpath "$2")
shift 2
traces=()
for t in "$@"; do traces+=("$(realpath "$t")"); done

work=$(mktemp -d /tmp/kel_compare_XXXXXX)
trap 'rm -rf "$work"' EXIT

runs=0
differ=0

# run DIR BINARY ARGS...: runs BINARY, named "keltrace" (the usage prints its
# name), in the folder DIR, where its stdout, stderr and status land with the
# files it writes.
run() {
    local dir=$1 binary=$2
    shift 2
    mkdir -p "$dir"
    (cd "$dir" && (exec -a keltrace "$binary" "$@") >stdout 2>stderr; echo $? >status)
    rm -f "$dir/template.tmp"
}

# compare LABEL ARGS...: ARGS may name the files out.json, out.sarif and
# out.html, which are written into the run's folder.
compare() {
    local label=$1
    shift
    runs=$((runs + 1))
    local base=$work/run$runs
    run "$base/old" "$old" "$@"
    run "$base/new" "$new" "$@"
    local f bad=""
    for f in $( (cd "$base/old" && ls; cd "$base/new" && ls) | sort -u); do
        if ! cmp -s "$base/old/$f" "$base/new/$f"; then bad="$bad $f"; fi
    done
    if [ -n "$bad" ]; then
        differ=$((differ + 1))
        echo "DIFFERS ($label):$bad"
    else
        echo "same    ($label): $(cd "$base/old" && ls | tr '\n' ' ')"
    fi
    rm -rf "$base"
}

for t in "${traces[@]}"; do
    name=$(basename "$t")
    compare "$name --file" --file "$t"
    compare "$name --group" --group --file "$t"
    compare "$name --json" --json out.json --file "$t"
    compare "$name --sarif" --sarif out.sarif --file "$t"
    compare "$name --html" --html out.html --file "$t"
    compare "$name all reports" --group --json out.json --sarif out.sarif --html out.html --file "$t"
done
many=()
for t in "${traces[@]}"; do many+=(--file "$t"); done
compare "all traces --group --json --html" --group --json out.json --html out.html "${many[@]}"
compare "--help" --help
compare "--version" --version
compare "no arguments"

echo "$runs runs compared, $differ differ"
[ "$differ" = 0 ]
