#!/usr/bin/env bash
# The main job on the bundled example: installs what is missing, builds, and
# runs kelgen on the example template.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DKEL_BUILD_TESTS=OFF >/dev/null
./build/generator/kelgen --version
./build/generator/kelgen examples/example.xml && echo "examples/example.xml loads."
