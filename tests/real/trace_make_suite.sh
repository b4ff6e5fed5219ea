#!/usr/bin/env bash
# Traces the whole test suite of a project built with make, the README's
# route for builds without CMake: kel.h force-included into every C file
# (-include), the runtime linked into every program, no change to the
# sources. Runs the same suite untraced and under valgrind for comparison.
#
#   tests/real/trace_make_suite.sh SRC OUT [TEMPLATE...]
#
# SRC is the project's source folder; it is never changed (make builds in its
# tree, so each build runs in a copy: OUT/src-traced, OUT/src-plain). OUT is a
# work folder (created; its earlier results replaced). TEMPLATE is a template
# file or the name of a ready-made one; several are merged (kelgen --merge);
# default libc-heap.xml. Nothing is fetched.
#
# The runtime is generated into OUT/kel and built as a shared library
# (libkel.so), so that a project's programs and its shared libraries share
# one runtime and one trace per process. The flags reach the build through
# the environment, as make and configure scripts read them:
#   CFLAGS="$KEL_BASE_CFLAGS -include OUT/kel/kel.h"   (untraced: $KEL_BASE_CFLAGS)
#   LDFLAGS="-L OUT/kel -Wl,-rpath,OUT/kel"  LIBS=LDLIBS="-lkel -pthread"
# and, for commands that pass them on make's command line, as $KEL_CFLAGS and
# $KEL_LIBS (e.g. KEL_BUILD_CMD='make CFLAGS="$KEL_CFLAGS" LDLIBS="$KEL_LIBS"').
#
# Environment:
#   KEL_PREFIX          KEL's install prefix (default: the prefix of the kelgen on the PATH)
#   KEL_CONFIGURE_CMD   run first in each copy (e.g. ./configure); default none
#   KEL_BUILD_CMD       default: make -j KEL_JOBS
#   KEL_TEST_CMD        default: make check
#   KEL_BASE_CFLAGS     default: -g -O2
#   KEL_PASS_PATTERN    a line of the test output per passed test (default ^PASS:)
#   KEL_FAIL_PATTERN    per failed test (default ^(FAIL|ERROR|XPASS):)
#   KEL_VALGRIND=0      skip the valgrind run
#   KEL_JOBS            parallel build jobs (default 2)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/suite_common.sh"

[ $# -ge 2 ] || { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
src=$(cd "$1" && pwd) || kel_die "no source folder $1"
mkdir -p "$2"
out=$(cd "$2" && pwd)
shift 2
kel_find_prefix
kel_resolve_templates "$@"
jobs=${KEL_JOBS:-2}
build_cmd=${KEL_BUILD_CMD:-make -j $jobs}
test_cmd=${KEL_TEST_CMD:-make check}
base_cflags=${KEL_BASE_CFLAGS:--g -O2}
pass_pattern=${KEL_PASS_PATTERN:-^PASS:}
fail_pattern=${KEL_FAIL_PATTERN:-^(FAIL|ERROR|XPASS):}

echo "== KEL: $("$KELTRACE" --version 2>&1 | head -1), prefix $KEL_PREFIX"
echo "== templates: ${TEMPLATES[*]}"

# The runtime.
kel=$out/kel
rm -rf "$kel"
mkdir -p "$kel"
template=${TEMPLATES[0]}
if [ ${#TEMPLATES[@]} -gt 1 ]; then
    "$KELGEN" --merge "$kel/merged.xml" "${TEMPLATES[@]}" || kel_die "kelgen could not merge the templates"
    template=$kel/merged.xml
fi
"$KELGEN" "$template" "$kel/kel.h" "$kel/kel.c" >/dev/null || kel_die "kelgen failed on $template"
${CC:-cc} -g -O2 -fPIC -shared -pthread -o "$kel/libkel.so" "$kel/kel.c" || kel_die "the runtime did not build"

run_step() {  # log command-text: runs it in the current folder, output to the log
    local log=$1
    shift
    if ! bash -c "$1" >"$log" 2>&1; then
        tail -20 "$log" >&2
        return 1
    fi
}
build() {  # name flags...
    local name=$1 dir=$out/src-$1 start
    echo "== $name: configure and build"
    kel_copy_tree "$src" "$dir"
    start=$(kel_now)
    (cd "$dir" && { [ -z "${KEL_CONFIGURE_CMD:-}" ] || run_step "$out/$name-configure.log" "$KEL_CONFIGURE_CMD"; } &&
        run_step "$out/$name-build.log" "$build_cmd") || kel_die "$name: the build failed (logs in $out)"
    eval "BUILD_SECONDS_$name=$(kel_elapsed "$start" "$(kel_now)")"
}
run_tests() {  # name [wrapper...]
    local name=$1 dir=$out/src-${1/valgrind/plain} start status=0
    shift
    echo "== $name: $test_cmd"
    touch "$out/.stamp"
    start=$(kel_now)
    (cd "$dir" && "$@" bash -c "$test_cmd" >"$out/$name-tests.log" 2>&1) || status=$?
    eval "SECONDS_$name=$(kel_elapsed "$start" "$(kel_now)")"
    local passed failed
    passed=$(grep -cE "$pass_pattern" "$out/$name-tests.log" || true)
    failed=$(grep -cE "$fail_pattern" "$out/$name-tests.log" || true)
    if [ "$passed" -eq 0 ] && [ "$failed" -eq 0 ]; then
        eval "RESULT_$name='exit status $status'"
    else
        eval "RESULT_$name='$passed / $((passed + failed)) (exit status $status)'"
    fi
}

export KEL_CFLAGS="$base_cflags -include $kel/kel.h" KEL_LIBS="-lkel -pthread"
CFLAGS=$KEL_CFLAGS LDFLAGS="-L$kel -Wl,-rpath,$kel" LIBS=$KEL_LIBS LDLIBS=$KEL_LIBS build traced
rm -rf "$out/traces"
mkdir -p "$out/traces"
CFLAGS=$KEL_CFLAGS LDFLAGS="-L$kel -Wl,-rpath,$kel" LIBS=$KEL_LIBS LDLIBS=$KEL_LIBS \
    run_tests traced env KEL_TRACE_DIR="$out/traces"
kel_collect_traces "$out/.stamp" "$out/traces" "$out/src-traced"
trace_count=$(find "$out/traces" -name '*.trace' | wc -l)
trace_size=$(kel_size "$out/traces")

echo "== keltrace over $trace_count traces"
kel_analyse_traces "$out/traces" "$out/keltrace"
summary_line=$(grep -h '^Summary:' "$out/keltrace/group.txt" || true)

export KEL_CFLAGS=$base_cflags KEL_LIBS=""
CFLAGS=$base_cflags build plain
CFLAGS=$base_cflags run_tests plain
vg_row=""
rm -rf "$out/valgrind"
if [ "${KEL_VALGRIND:-1}" != 0 ]; then
    mkdir -p "$out/valgrind"
    CFLAGS=$base_cflags run_tests valgrind valgrind --trace-children=yes --leak-check=full --track-fds=yes \
        --log-file="$out/valgrind/%p.log"
    kel_summarise_valgrind "$out/valgrind" "$out/src-plain/"
    vg_row=$(kel_valgrind_row "$RESULT_valgrind" "$SECONDS_valgrind")
fi

kel_write_summary "test time (s)" "$RESULT_plain" "$SECONDS_plain" "$RESULT_traced" "$SECONDS_traced" "$vg_row" \
    "$BUILD_SECONDS_plain" "$BUILD_SECONDS_traced"
