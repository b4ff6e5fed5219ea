#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan + UBSan) into build-fuzz/ and
# runs each one for a bounded time from its seed corpus. Any crash, sanitizer
# report, timeout or disagreement the harness traps fails the run; the input
# that caused it is kept in build-fuzz/artifacts/.
#
#   bash scripts/fuzz.sh                 every harness, 30 s each
#   KEL_FUZZ_SECONDS=3600 bash scripts/fuzz.sh fuzz_trace     one harness, longer
#   KEL_FUZZ_KEEP=folder ...             keep the inputs found (a corpus to reuse)
# The trace harness's seeds from real traces and golden cases are remade by
# tests/fuzz/make_trace_seeds.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${KEL_FUZZ_SECONDS:-30}

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKEL_FUZZ=ON -DKEL_ASSERTS=ON -DKEL_BUILD_TESTS=OFF >/dev/null
# Every harness is made from tests/fuzz/<name>.cpp; only the harnesses are
# built (the programs, bindings and man pages are not needed here).
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for f in tests/fuzz/fuzz_*.cpp; do harnesses+=("$(basename "$f" .cpp)"); done
fi
cmake --build build-fuzz -j "$(nproc)" --target "${harnesses[@]}" >/dev/null

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
artifacts=$root/build-fuzz/artifacts
mkdir -p "$artifacts"
# The harnesses run side by side, so the whole run takes one harness's time;
# on fewer cores than harnesses each gets a share of a core for that time
# (the input counts below say how much each ran).
run_one() {
  local h=$1 seeds found log
  seeds=$root/tests/fuzz/corpus/${h#fuzz_}
  found=${KEL_FUZZ_KEEP:+$KEL_FUZZ_KEEP/${h#fuzz_}}
  found=${found:-$(mktemp -d /tmp/kel_fuzz_found_XXXXXX)}
  mkdir -p "$found"
  log=$root/build-fuzz/$h.log
  # The harnesses change into a scratch folder, so every path given is absolute.
  local status=0
  "$root/build-fuzz/tests/fuzz/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$h-" "$found" "$seeds" >"$log" 2>&1 || status=$?
  echo "$status" >"$log.status"
  [ -n "${KEL_FUZZ_KEEP:-}" ] || rm -rf "$found"
}
for h in "${harnesses[@]}"; do run_one "$h" & done
wait

failed=0
for h in "${harnesses[@]}"; do
  log=$root/build-fuzz/$h.log
  if [ "$(cat "$log.status" 2>/dev/null)" = 0 ]; then
    inputs=$(awk '/^stat::number_of_executed_units/ {print $2}' "$log")
    echo "fuzz: $h: $inputs inputs in ${seconds} s ($((inputs / seconds)) per second), no finding"
  else
    echo "fuzz: $h: FINDING (input kept in $artifacts, whole log in $log):" >&2
    tail -40 "$log" >&2
    failed=1
  fi
done
exit $failed
