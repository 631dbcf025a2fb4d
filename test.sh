#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, configures, builds and runs every test
# headless (offscreen Qt platform). Usage: ./test.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")"

tools/install-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j"$(nproc)" "$@"
