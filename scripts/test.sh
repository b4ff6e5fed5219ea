#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in the
# normal build (gcc) and once built by clang with AddressSanitizer and
# UndefinedBehaviorSanitizer and with assert() checks on, where any sanitizer
# report or failed assertion fails the run. Clang, because its UBSan also
# catches an offset that leaves an array, which gcc's does not.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

bash scripts/build.sh build -DKEL_BUILD_TESTS=ON
ctest --test-dir build --no-tests=error --output-on-failure -j "$(nproc)"

# A folder that gcc configured before starts afresh: a CMake cache whose
# compiler changes is emptied, and the options with it.
if [ -f build-asan/CMakeCache.txt ] && ! grep -q '^CMAKE_CXX_COMPILER:.*=.*clang++' build-asan/CMakeCache.txt; then
  rm -rf build-asan
fi
bash scripts/build.sh build-asan -DKEL_SANITIZE=ON -DKEL_ASSERTS=ON -DKEL_BUILD_TESTS=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Tests whose subject is what other programs make of KEL's output (compilers'
# warnings over every setting, MinGW, the installed package in consumer
# projects, the HTML page in a browser) run in the plain build only: under the
# sanitizers they spend their time in gcc, cmake and chromium, and the code of
# ours they run is covered there by the unit tests and the fuzzers. So do
# the runtime's program builds over every setting (gcc's time, unsanitized C)
# and the longest differential run: the shorter one over many handles keeps
# the tables' growth under the sanitizers.
ctest --test-dir build-asan --no-tests=error --output-on-failure -j "$(nproc)" \
  -E 'GeneratedLibrary\.(CompilesWithoutWarningsForEverySetting|ReadyMadeTemplatesCompileUnderTheStrictWarningSet|Win32)|^Installed\.|^HtmlReportInBrowser\.|^BufferedRecords\.SameTraceAsTheDefaultRuntimeForEverySetting$|^Differential\.InteriorTracesOfManyDistinctHandles$'

# The fuzz harnesses, about 30 s each, under ASan and UBSan.
bash scripts/fuzz.sh
