#!/usr/bin/env bash
# The main job on the bundled example: installs what is missing, builds,
# generates the tracing library from the example template, builds the example
# program with it and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DKEL_BUILD_TESTS=OFF >/dev/null
./build/generator/kelgen --version
./build/generator/kelgen examples/example.xml && echo "examples/example.xml loads."

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
./build/generator/kelgen examples/example.xml "$demo/kel.h" "$demo/kel.c"
# -fcommon: kel.h defines the library's globals; -w: the generated C keeps its known warnings.
gcc -fcommon -pthread -w -I "$demo" -o "$demo/example" examples/example.c "$demo/kel.c"
(cd "$demo" && ./example)
echo "The example wrote $demo/kel_trace.out ($(wc -l <"$demo/kel_trace.out") lines); it ends with:"
tail -n 8 "$demo/kel_trace.out"
