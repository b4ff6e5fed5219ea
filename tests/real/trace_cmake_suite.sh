#!/usr/bin/env bash
# Traces the whole test suite of any CMake project with KEL, the way the
# README tells a user to (find_package(KEL) and kel_add_tracing), and runs the
# same suite untraced and under valgrind for comparison.
#
#   tests/real/trace_cmake_suite.sh SRC OUT [TEMPLATE...]
#
# SRC is the project's source folder (its top CMakeLists.txt); it is never
# changed. OUT is a work folder (created; its earlier results replaced).
# TEMPLATE is a template file, or the name of a ready-made one
# (libc-heap.xml, stdio.xml, posix-fd.xml); default libc-heap.xml. Nothing is
# fetched: the project must already be on disk.
#
# Steps:
#   1. copies SRC to OUT/src and appends to the copy's top CMakeLists.txt the
#      documented lines: find_package(KEL REQUIRED), then kel_add_tracing for
#      every executable and library the project defines (or the targets named
#      in KEL_SUITE_TARGETS);
#   2. configures and builds the copy in OUT/build-traced, runs ctest there
#      with KEL_TRACE_DIR=OUT/traces, and collects into OUT/traces any trace
#      written elsewhere (a KEL without the trace folder writes each trace into
#      its process's working folder);
#   3. runs keltrace over the traces in OUT/keltrace: group.txt is the one
#      grouped report, findings.txt every finding;
#   4. builds SRC unchanged in OUT/build-plain and runs ctest, then runs that
#      ctest again under valgrind --leak-check=full --track-fds=yes with every
#      child process followed (logs in OUT/valgrind, the project's own programs
#      summarised in OUT/valgrind-processes.txt);
#   5. prints a table and writes it to OUT/summary.md.
#
# Environment:
#   KEL_PREFIX          KEL's install prefix (default: the prefix of the kelgen on the PATH)
#   KEL_SUITE_TARGETS   the targets to trace, separated by blanks (default: all)
#   KEL_SUITE_LINK_WRAP=1  kel_add_tracing's LINK_WRAP (a template with
#                       link_wrap="true": calls through function pointers traced)
#   KEL_SUITE_LANGUAGES kel_add_tracing's LANGUAGES (default C CXX; posix-fd.xml
#                       is for C sources only: C)
#   KEL_CMAKE_ARGS      more arguments for configuring the project, both builds
#                       (default build type RelWithDebInfo, for line numbers)
#   KEL_SUITE_CMAKE_EXTRA  a file of CMake lines appended after those (a
#                       project-specific step, which a user would have to add)
#   KEL_CTEST_ARGS      more arguments for every ctest run (e.g. -E slow_test)
#   KEL_VALGRIND=0      skip the valgrind run
#   KEL_VALGRIND_CTEST_ARGS  more ctest arguments for the valgrind run only (a
#                       suite whose tests are interpreter scripts runs the
#                       interpreter under valgrind too: -R narrows it)
#   KEL_JOBS            parallel build jobs (default 2)
#   KEL_SUITE_REANALYSE=1  build and run nothing: run keltrace again over
#                       OUT/traces (with the KEL of KEL_PREFIX) and print the
#                       table from the logs of the earlier run
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/suite_common.sh"

[ $# -ge 2 ] || { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
src=$(cd "$1" && pwd) || kel_die "no source folder $1"
[ -f "$src/CMakeLists.txt" ] || kel_die "$src has no CMakeLists.txt"
mkdir -p "$2"
out=$(cd "$2" && pwd)
shift 2
kel_find_prefix
kel_resolve_templates "$@"
jobs=${KEL_JOBS:-2}
read -r -a cmake_args <<<"${KEL_CMAKE_ARGS:-}"
read -r -a ctest_args <<<"${KEL_CTEST_ARGS:-}"
cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}")

echo "== KEL: $("$KELTRACE" --version 2>&1 | head -1), prefix $KEL_PREFIX"
echo "== templates: ${TEMPLATES[*]}"

reanalyse=${KEL_SUITE_REANALYSE:-0}
# Each run's figures, kept for a later KEL_SUITE_REANALYSE.
record() { eval "$1=\$2"; echo "$1=$2" >>"$out/figures.sh"; }
if [ "$reanalyse" = 1 ]; then
    [ -f "$out/figures.sh" ] || kel_die "$out has no earlier run to analyse again"
    . "$out/figures.sh"
else
    : >"$out/figures.sh"
fi

# 1. The copy with the documented lines.
[ "$reanalyse" = 1 ] || {
kel_copy_tree "$src" "$out/src"
if [ ${#TEMPLATES[@]} -eq 1 ]; then
    template_args="TEMPLATE \"${TEMPLATES[0]}\""
else
    template_args="TEMPLATES"
    for t in "${TEMPLATES[@]}"; do template_args="$template_args \"$t\""; done
fi
[ -z "${KEL_SUITE_LANGUAGES:-}" ] || template_args="$template_args LANGUAGES $KEL_SUITE_LANGUAGES"
[ "${KEL_SUITE_LINK_WRAP:-0}" != 1 ] || template_args="$template_args LINK_WRAP"
cat >>"$out/src/CMakeLists.txt" <<EOF

# Added to this copy by KEL's trace_cmake_suite.sh: the README's lines,
# kel_add_tracing for each of the project's programs and libraries.
find_package(KEL REQUIRED)
function(_kel_suite_targets dir out)
  get_property(found DIRECTORY "\${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "\${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    _kel_suite_targets("\${sub}" more)
    list(APPEND found \${more})
  endforeach()
  set(\${out} \${found} PARENT_SCOPE)
endfunction()
set(_kel_suite_targets "${KEL_SUITE_TARGETS:-}")
separate_arguments(_kel_suite_targets)
if(NOT _kel_suite_targets)
  _kel_suite_targets("\${CMAKE_CURRENT_SOURCE_DIR}" _kel_suite_targets)
endif()
foreach(_kel_target IN LISTS _kel_suite_targets)
  get_target_property(_kel_type \${_kel_target} TYPE)
  if(_kel_type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY|STATIC_LIBRARY|OBJECT_LIBRARY)\$")
    message(STATUS "KEL: tracing \${_kel_target}")
    kel_add_tracing(\${_kel_target} $template_args)
  endif()
endforeach()
EOF
# A project-specific step a user had to add, kept outside this repository.
if [ -n "${KEL_SUITE_CMAKE_EXTRA:-}" ]; then
    cat "$KEL_SUITE_CMAKE_EXTRA" >>"$out/src/CMakeLists.txt"
fi
}

# 2. The traced build and suite.
stamp=$out/.stamp
build_and_test() {  # name source-folder
    local name=$1 from=$2 build=$out/build-$1
    rm -rf "$build"
    echo "== $name: configure and build"
    local start
    start=$(kel_now)
    if ! cmake -S "$from" -B "$build" -DCMAKE_PREFIX_PATH="$KEL_PREFIX" "${cmake_args[@]}" >"$out/$name-configure.log" 2>&1; then
        tail -20 "$out/$name-configure.log" >&2
        kel_die "$name: configuring failed (whole log: $out/$name-configure.log)"
    fi
    if ! cmake --build "$build" -j "$jobs" >"$out/$name-build.log" 2>&1; then
        grep -m 20 -E 'error|Error' "$out/$name-build.log" >&2 || tail -20 "$out/$name-build.log" >&2
        kel_die "$name: building failed (whole log: $out/$name-build.log)"
    fi
    record "BUILD_SECONDS_$name" "$(kel_elapsed "$start" "$(kel_now)")"
}
run_suite() {  # name build-folder [wrapper...]
    local name=$1 build=$2 start
    shift 2
    local extra=()
    [ "$name" != valgrind ] || read -r -a extra <<<"${KEL_VALGRIND_CTEST_ARGS:-}"
    echo "== $name: ctest"
    touch "$stamp"
    start=$(kel_now)
    (cd "$build" && "$@" ctest --output-on-failure "${ctest_args[@]}" "${extra[@]}" >"$out/$name-ctest.log" 2>&1) || true
    record "SECONDS_$name" "$(kel_elapsed "$start" "$(kel_now)")"
    local counts
    counts=$(kel_ctest_counts "$out/$name-ctest.log")
    [ -n "$counts" ] || counts="? ?"
    record "PASSED_$name" "${counts% *}"
    record "TOTAL_$name" "${counts#* }"
    grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(Failed|Exception|Timeout|Not Run)' "$out/$name-ctest.log" | sed "s/^/$name: /" || true
}

if [ "$reanalyse" != 1 ]; then
    build_and_test traced "$out/src"
    rm -rf "$out/traces"
    mkdir -p "$out/traces"
    run_suite traced "$out/build-traced" env KEL_TRACE_DIR="$out/traces"
    kel_collect_traces "$stamp" "$out/traces" "$out/src" "$out/build-traced"
fi
trace_count=$(find "$out/traces" -name '*.trace' | wc -l)
trace_size=$(kel_size "$out/traces")

# 3. keltrace.
echo "== keltrace over $trace_count traces"
kel_analyse_traces "$out/traces" "$out/keltrace"
summary_line=$(grep -h '^Summary:' "$out/keltrace/group.txt" || true)

# 4. Untraced, then under valgrind.
if [ "$reanalyse" != 1 ]; then
    build_and_test plain "$src"
    run_suite plain "$out/build-plain"
    rm -rf "$out/valgrind"
    if [ "${KEL_VALGRIND:-1}" != 0 ]; then
        mkdir -p "$out/valgrind"
        run_suite valgrind "$out/build-plain" valgrind --trace-children=yes --leak-check=full --track-fds=yes \
            --log-file="$out/valgrind/%p.log"
    fi
fi
vg_row=""
if [ -d "$out/valgrind" ]; then
    kel_summarise_valgrind "$out/valgrind" "$out/"
    vg_row=$(kel_valgrind_row "$PASSED_valgrind / $TOTAL_valgrind" "$SECONDS_valgrind")
fi

# 5. The table.
kel_write_summary "ctest time (s)" "$PASSED_plain / $TOTAL_plain" "$SECONDS_plain" \
    "$PASSED_traced / $TOTAL_traced" "$SECONDS_traced" "$vg_row" "${BUILD_SECONDS_plain:-?}" "${BUILD_SECONDS_traced:-?}"
