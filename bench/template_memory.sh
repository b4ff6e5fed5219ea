#!/usr/bin/env bash
# Memory and time of the template reader and the generator on a big generated
# template: kelgen loading it (the load-only form), kelgen generating kel.h and
# kel.c from it (once as it is, once with empty lines between its domains, so
# that kelgen loads the trace's copy of it a second time to compare), and
# keltrace reading a trace that embeds a template just under keltrace's 16 MB
# limit for embedded templates. Prints the peak RSS of each and its ratio to
# the template's size.
#
#   bash bench/template_memory.sh [MB_FOR_KELGEN [MB_FOR_KELTRACE]]   (default: 100 15)
#   KEL_BENCH_BUILD=folder   use the kelgen and keltrace built there (default: build-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
big_mb=${1:-100}
trace_mb=${2:-15}
build=${KEL_BENCH_BUILD:-$root/build-bench}
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (package time)" >&2; exit 1; }

if [ -z "${KEL_BENCH_BUILD:-}" ]; then
  echo "building (RelWithDebInfo) ..."
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target keltrace kelgen >/dev/null
fi
kelgen=$build/generator/kelgen
keltrace=$build/analyzer/keltrace

work=$(mktemp -d /tmp/kel_tmem_XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

# One domain per 1,000 tors; every tor has the shape of a real allocator
# (about 330 bytes), every line stays under the line reader's 254 characters.
make_template() {  # $1 = target size in bytes
  awk -v target="$1" '
  function out(text) { print text; size += length(text) + 1 }
  BEGIN {
    size = 0; t = 0
    out("<?xml version=\"1.0\"?>")
    out("<template name=\"big\" prefix=\"big_\" errlogmode=\"\" trap_on_io_err=\"false\" remote_mode=\"false\"")
    out("  force_flush=\"false\" fork_enabled=\"true\" multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" trace_target=\"big.out\">")
    while (size < target - 400) {
      if (t % 1000 == 0) {
        if (t > 0) out("  </domain>")
        out(sprintf("  <domain name=\"d%d\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">", t / 1000))
        out("    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>")
        out("    <includes>stdlib.h</includes>")
      }
      out(sprintf("    <tor __type__=\"allocator\" name=\"alloc_%d\" float_arg_n1=\"1\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">", t))
      out("      <validateDom_before>-</validateDom_before>")
      out("      <args type=\"void*\" name=\"ret\"/>")
      out("      <args type=\"size_t\" name=\"size\"/>")
      out("      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>")
      out("    </tor>")
      t++
    }
    out("  </domain>")
    out("</template>")
  }'
}

# Runs the command under /usr/bin/time -v; prints "peak_kB seconds status".
measure() {
  local status=0
  /usr/bin/time -v -o time.txt "$@" >out.txt 2>err.txt || status=$?
  awk -v status="$status" '/Maximum resident set size/ {rss = $NF}
       /Elapsed \(wall clock\)/ {n = split($NF, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]}
       END {print rss, s, status}' time.txt
}

report() {  # $1 = label, $2 = template bytes, $3 = tors, then peak_kB seconds status
  awk -v label="$1" -v bytes="$2" -v tors="$3" -v rss="$4" -v secs="$5" -v status="$6" 'BEGIN {
    printf "%-34s template %7.1f MB, %7d tors: peak RSS %7.1f MB (%.2f x template), %6.2f s, status %d\n",
      label, bytes / 1e6, tors, rss * 1024 / 1e6, rss * 1024 / bytes, secs, status }'
}

make_template $((big_mb * 1000000)) >big.xml
big_bytes=$(stat -c %s big.xml)
big_tors=$(grep -c '<tor ' big.xml)
report "kelgen big.xml (load only)" "$big_bytes" "$big_tors" $(measure "$kelgen" big.xml)
report "kelgen big.xml kel.h kel.c" "$big_bytes" "$big_tors" $(measure "$kelgen" big.xml kel.h kel.c)
rm -f kel.h kel.c
awk '{ print } /^  <\/domain>$/ { print "" }' big.xml >blank.xml
rm big.xml
blank_bytes=$(stat -c %s blank.xml)
report "kelgen blank.xml kel.h kel.c" "$blank_bytes" "$big_tors" $(measure "$kelgen" blank.xml kel.h kel.c)
rm -f blank.xml kel.h kel.c

make_template $((trace_mb * 1000000)) >small.xml
small_bytes=$(stat -c %s small.xml)
small_tors=$(grep -c '<tor ' small.xml)
{ printf 'KEL TRACING BEGIN\nKEL PROTOCOL 01\n'; cat small.xml; printf 'KEL TRACING DONE\n'; } >trace
report "keltrace --file (embedded)" "$small_bytes" "$small_tors" $(measure "$keltrace" --file trace)
report "kelgen small.xml (load only)" "$small_bytes" "$small_tors" $(measure "$kelgen" small.xml)
