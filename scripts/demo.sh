#!/usr/bin/env bash
# The main job on the bundled example: installs what is missing, builds,
# generates the tracing library from examples/example.xml, builds
# examples/demo.c with it, runs it, and analyses its trace with keltrace,
# which also writes the HTML report build/demo/report.html.
# demo.c has a leak, a realloc'd block it never frees, a FILE opened and
# closed unused, and a double free (README, "keltrace").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DKEL_BUILD_TESTS=OFF >/dev/null
./build/generator/kelgen --version

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
./build/generator/kelgen examples/example.xml "$demo/kel.h" "$demo/kel.c"
gcc -pthread -Wall -Wextra -I "$demo" -o "$demo/demo" examples/demo.c "$demo/kel.c"
echo
echo "Running examples/demo.c; the C library aborts it at its double free:"
status=0
(cd "$demo" && exec ./demo) || status=$?
echo "demo ended with status $status; its trace has $(wc -l <"$demo/kel_trace.out") lines"
echo
echo "keltrace --html $demo/report.html --file $demo/kel_trace.out"
status=0
# keltrace writes template.tmp into its working folder.
(cd "$demo" && exec ../analyzer/keltrace --html report.html --file kel_trace.out) || status=$?
echo "keltrace ended with status $status (1: the analysis ran to its leak report)"
echo "The HTML report (open it in a browser): $demo/report.html"
