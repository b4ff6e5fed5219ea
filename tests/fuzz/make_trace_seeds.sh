#!/usr/bin/env bash
# Remakes the trace harness's seeds from real traces and golden cases, each
# led by the byte that picks its template in fuzz_trace.cpp:
# - real_*: every end-to-end case that uses a ready-made template is built
#   and run as its runner does, and the records of its trace (the lines after
#   "</template>") become a seed. Handles are whatever this run's addresses
#   are; the fuzzer needs no stable ones.
# - golden_*: the records of every keltrace golden case whose trace is a
#   header of a known template followed by plain lines.
#
#   bash tests/fuzz/make_trace_seeds.sh [build folder with kelgen, default build]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
kelgen=$root/${1:-build}/generator/kelgen
out=$root/tests/fuzz/corpus/trace
work=$(mktemp -d /tmp/kel_seeds_XXXXXX)
trap 'rm -rf "$work"' EXIT

selector() {
  case "$1" in
    templates/libc-heap.xml) printf h ;;
    templates/stdio.xml) printf s ;;
    templates/posix-fd.xml) printf f ;;
    *) return 1 ;;
  esac
}

for c in tests/e2e/cases/*/case; do
  dir=$(dirname "$c")
  name=$(basename "$dir")
  tmpl=$(sed -n 's/^template: //p' "$c")
  sel=$(selector "$tmpl") || continue
  rm -rf "${work:?}"/* && cp "$tmpl" "$work/t.xml"
  sources=""
  for s in $(sed -n 's/^sources: //p' "$c"); do
    cp "$s" "$work/"
    case "$s" in *.c) sources="$sources $(basename "$s")" ;; esac
  done
  for f in "$dir"/*; do
    case "$(basename "$f")" in case | expected.*) continue ;; esac
    cp "$f" "$work/"
    case "$f" in *.c) sources="$sources $(basename "$f")" ;; esac
  done
  (cd "$work" && "$kelgen" t.xml kel.h kel.c >/dev/null &&
    gcc $(sed -n 's/^cflags: //p' "$root/$c") -I. -o prog $sources kel.c && { ./prog >/dev/null 2>&1 || true; })
  trace=$(ls "$work"/kel-*.trace 2>/dev/null | head -1)
  [ -n "$trace" ] || continue
  { printf '%s' "$sel"; sed '1,/^<\/template>$/d' "$trace"; } >"$out/real_$name"
  echo "seed real_$name: $(wc -l <"$out/real_$name") lines"
done

# Golden cases: "--- file trace", "@header NAME", then the records up to the
# next section.
for c in tests/analyzer/cases/*.case; do
  name=$(basename "$c" .case)
  awk -v out="$out/golden_$name" '
    function sel(t) {
      if (t == "kt.xml") return "k"; if (t == "kt_attrs.xml") return "a"; if (t == "dual.xml") return "d"
      if (t == "kt_interior.xml") return "i"; if (t == "kt_mapped.xml") return "z"
      if (t == "../../../templates/libc-heap.xml") return "h"; return ""
    }
    /^--- / { if (inTrace) exit; inTrace = ($0 == "--- file trace"); first = 1; next }
    inTrace && first { first = 0; if ($1 != "@header" || sel($2) == "") exit; body = sel($2); ok = 1; next }
    inTrace && /^@/ { ok = 0; exit }
    inTrace { body = body $0 "\n" }
    END { if (ok) printf "%s", body > out }
  ' "$c"
done
echo "golden seeds: $(ls "$out" | grep -c '^golden_')"
