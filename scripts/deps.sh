#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, when it is missing.
# Quiet and quick when everything is already there.
set -euo pipefail

packages=(
  g++ gcc make cmake pkg-config
  libxml++2.6-dev
  libgtest-dev
  gcc-mingw-w64-x86-64
  libc-dev-bin perl time
  nlohmann-json3-dev                    # keltrace's JSON and SARIF reports
  clang libclang-rt-14-dev              # the C side of the generated-code checks; libFuzzer
  valgrind heaptrack                    # comparisons in the tests and the benchmark
  chromium                              # the HTML report's browser test
  libpng-dev                            # reading its screenshot back
  go-md2man man-db                      # man pages from the Markdown references, and man to read them
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps: run as root (or install these packages): ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
